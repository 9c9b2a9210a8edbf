#include <Ferrix/FRXSSHConfig.h>

#include "FRXInternal.h"

#include <fnmatch.h>
#include <glob.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>

namespace {

// OpenSSH's own limit on nested Include lines.
constexpr int kMaxIncludeDepth = 16;

std::string lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

FRXError configError(std::string message) {
  return frx::makeError(FRXErrorDomain, FRXConnectionErrorFailed, std::move(message));
}

// One keyword line: the keyword as written, its arguments split as OpenSSH splits them (spaces,
// double quotes), and the raw rest of the line for ProxyCommand, which takes it verbatim.
struct Line {
  std::string keyword;
  std::vector<std::string> arguments;
  std::string rest;
};

std::optional<Line> splitLine(std::string_view text, std::string& why) {
  std::size_t i = 0;
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < text.size() && isSpace(text[i])) ++i;
  if (i == text.size() || text[i] == '#') return Line{};
  Line line;
  const std::size_t start = i;
  while (i < text.size() && !isSpace(text[i]) && text[i] != '=') ++i;
  line.keyword = text.substr(start, i - start);
  while (i < text.size() && isSpace(text[i])) ++i;
  if (i < text.size() && text[i] == '=') ++i;
  while (i < text.size() && isSpace(text[i])) ++i;
  line.rest = text.substr(i);
  while (!line.rest.empty() && isSpace(line.rest.back())) line.rest.pop_back();
  while (i < text.size()) {
    if (text[i] == '#') break;  // a comment after the arguments
    std::string word;
    bool quoted = false;
    while (i < text.size() && (quoted || !isSpace(text[i]))) {
      if (text[i] == '"') {
        quoted = !quoted;
      } else if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
        word += text[++i];
      } else {
        word += text[i];
      }
      ++i;
    }
    if (quoted) {
      why = "unbalanced quotes";
      return std::nullopt;
    }
    line.arguments.push_back(std::move(word));
    while (i < text.size() && isSpace(text[i])) ++i;
  }
  return line;
}

// The settings as they are gathered: the first value of each keyword is kept.
struct Gathered {
  std::optional<std::string> hostName;
  std::optional<std::string> user;
  std::optional<int> port;
  std::vector<std::string> identityFiles;
  std::optional<bool> identitiesOnly;
  std::optional<std::vector<std::string>> knownHostsFiles;
  std::optional<FRXStrictHostKeyChecking> strict;
  std::optional<int> connectTimeout;
  std::optional<int> aliveInterval;
  std::optional<int> aliveCountMax;
  // ProxyCommand and ProxyJump compete: the first of either decides (an empty value is "none").
  std::optional<std::string> proxyCommand;
  std::optional<std::string> proxyJump;
};

std::optional<int> number(const std::string& text, int low, int high) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const int value = std::atoi(text.c_str());
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<bool> yesNo(const std::string& text) {
  const std::string word = lowercase(text);
  if (word == "yes" || word == "true") return true;
  if (word == "no" || word == "false") return false;
  return std::nullopt;
}

// Host patterns: * and ? as in a shell, a leading ! negates; case does not matter.
bool hostMatches(const std::string& host, const std::vector<std::string>& patterns) {
  bool matched = false;
  for (const std::string& pattern : patterns) {
    const bool negated = !pattern.empty() && pattern[0] == '!';
    const std::string glob = lowercase(negated ? pattern.substr(1) : pattern);
    if (::fnmatch(glob.c_str(), host.c_str(), FNM_NOESCAPE) == 0) {
      if (negated) return false;
      matched = true;
    }
  }
  return matched;
}

class Reader {
public:
  Reader(std::string host, std::string home) : host_(lowercase(host)), home_(std::move(home)) {}

  Gathered gathered;
  std::string why;  // the first error, "FILE line N: ..."

  // One line; `active` tells whether the current Host block applies, `where` names the line.
  bool apply(const std::string& text, bool& active, bool neverMatch, const std::string& where, int depth,
             const std::string& includeBase) {
    std::string splitWhy;
    auto line = splitLine(text, splitWhy);
    if (!line) return fail(where, splitWhy);
    if (line->keyword.empty()) return true;
    const std::string keyword = lowercase(line->keyword);
    const auto& args = line->arguments;
    if (keyword == "host") {
      if (args.empty()) return fail(where, "Host needs at least one pattern");
      active = !neverMatch && hostMatches(host_, args);
      return true;
    }
    if (keyword == "match") return fail(where, "Match blocks are not supported; use Host blocks");
    if (keyword == "include") {
      if (args.empty()) return fail(where, "Include needs a file");
      return include(args, active, neverMatch || !active, where, depth, includeBase);
    }
    if (!active) return true;
    if (keyword == "proxycommand") {
      if (line->rest.empty()) return fail(where, "ProxyCommand needs a command");
      if (!gathered.proxyCommand && !gathered.proxyJump) {
        gathered.proxyCommand = lowercase(line->rest) == "none" ? "" : line->rest;
      }
      return true;
    }
    if (args.empty()) {
      // A keyword we do not know may take no argument; one we use always needs one.
      return !known(keyword) || fail(where, line->keyword + " needs a value");
    }
    const std::string& value = args[0];
    if (keyword == "hostname") {
      if (!gathered.hostName) gathered.hostName = value;
    } else if (keyword == "user") {
      if (!gathered.user) gathered.user = value;
    } else if (keyword == "port") {
      const auto port = number(value, 1, 65535);
      if (!port) return fail(where, "bad Port " + value);
      if (!gathered.port) gathered.port = port;
    } else if (keyword == "identityfile") {
      // Every IdentityFile line counts, in order: each is one more key to try.
      if (lowercase(value) != "none") gathered.identityFiles.push_back(value);
    } else if (keyword == "identitiesonly") {
      const auto only = yesNo(value);
      if (!only) return fail(where, "bad IdentitiesOnly " + value);
      if (!gathered.identitiesOnly) gathered.identitiesOnly = only;
    } else if (keyword == "userknownhostsfile") {
      if (!gathered.knownHostsFiles) gathered.knownHostsFiles = args;
    } else if (keyword == "stricthostkeychecking") {
      const std::string word = lowercase(value);
      std::optional<FRXStrictHostKeyChecking> mode;
      if (word == "yes" || word == "true") mode = FRXStrictHostKeyChecking::Yes;
      if (word == "no" || word == "false" || word == "off") mode = FRXStrictHostKeyChecking::No;
      if (word == "ask") mode = FRXStrictHostKeyChecking::Ask;
      if (word == "accept-new") mode = FRXStrictHostKeyChecking::AcceptNew;
      if (!mode) return fail(where, "bad StrictHostKeyChecking " + value);
      if (!gathered.strict) gathered.strict = mode;
    } else if (keyword == "connecttimeout" || keyword == "serveraliveinterval" || keyword == "serveralivecountmax") {
      std::optional<int> seconds = lowercase(value) == "none" && keyword == "connecttimeout" ? 0 : number(value, 0, 1 << 24);
      if (!seconds) return fail(where, "bad " + line->keyword + " " + value);
      auto& slot = keyword == "connecttimeout"        ? gathered.connectTimeout
                   : keyword == "serveraliveinterval" ? gathered.aliveInterval
                                                      : gathered.aliveCountMax;
      if (!slot) slot = seconds;
    } else if (keyword == "proxyjump") {
      if (!gathered.proxyCommand && !gathered.proxyJump) gathered.proxyJump = lowercase(value) == "none" ? "" : value;
    }
    return true;
  }

  // A whole file. A missing file is no error unless it must exist.
  bool readFile(const std::string& path, bool mustExist, bool& active, bool neverMatch, int depth,
                const std::string& includeBase) {
    std::ifstream in(path);
    if (!in) {
      if (mustExist || errno != ENOENT) return fail(path, std::string("cannot be read: ") + std::strerror(errno));
      return true;
    }
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
      if (!apply(text, active, neverMatch, path + " line " + std::to_string(number), depth, includeBase)) return false;
    }
    return true;
  }

private:
  static bool known(const std::string& keyword) {
    for (const char* name : {"hostname", "user", "port", "identityfile", "identitiesonly", "userknownhostsfile",
                             "stricthostkeychecking", "connecttimeout", "serveraliveinterval", "serveralivecountmax",
                             "proxyjump"}) {
      if (keyword == name) return true;
    }
    return false;
  }

  bool fail(const std::string& where, const std::string& what) {
    if (why.empty()) why = where + ": " + what;
    return false;
  }

  // Included files see the activity of the block that names them; inside a block that does not
  // apply, nothing they hold applies either. Afterwards the including block's activity returns.
  bool include(const std::vector<std::string>& patterns, bool& active, bool neverMatch, const std::string& where,
               int depth, const std::string& includeBase) {
    if (depth >= kMaxIncludeDepth) return fail(where, "Include nested too deeply");
    const bool before = active;
    for (const std::string& given : patterns) {
      std::string pattern = given;
      if (pattern.rfind("~/", 0) == 0) {
        pattern = home_ + pattern.substr(1);
      } else if (pattern.empty() || pattern[0] != '/') {
        pattern = includeBase + "/" + pattern;
      }
      glob_t found{};
      const int rc = ::glob(pattern.c_str(), 0, nullptr, &found);
      if (rc == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
          bool inner = active;
          if (!readFile(found.gl_pathv[i], false, inner, neverMatch, depth + 1, includeBase)) {
            ::globfree(&found);
            return false;
          }
        }
      }
      ::globfree(&found);
    }
    active = before;
    return true;
  }

  std::string host_;
  std::string home_;
};

std::string localUser() {
  if (const passwd* entry = ::getpwuid(::getuid())) return entry->pw_name;
  if (const char* name = std::getenv("USER")) return name;
  return {};
}

std::string defaultHome() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* entry = ::getpwuid(::getuid())) return entry->pw_dir;
  return "/";
}

// OpenSSH's percent tokens; an unknown one is an error, as it is there.
std::optional<std::string> expandTokens(std::string_view text, const std::map<char, std::string>& tokens,
                                        std::string& why) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 1 == text.size()) {
      why = "a lone % at the end of " + std::string(text);
      return std::nullopt;
    }
    const char key = text[++i];
    if (key == '%') {
      out += '%';
      continue;
    }
    const auto found = tokens.find(key);
    if (found == tokens.end()) {
      why = std::string("unknown token %") + key + " in " + std::string(text);
      return std::nullopt;
    }
    out += found->second;
  }
  return out;
}

std::string expandTilde(const std::string& path, const std::string& home) {
  if (path == "~") return home;
  if (path.rfind("~/", 0) == 0) return home + path.substr(1);
  if (!path.empty() && path[0] == '~') return frx::standardizingPath(path);  // ~user/...
  return path;
}

}  // namespace

struct FRXSSHConfig::Impl {
  std::optional<std::string> configFile;
  std::optional<std::string> home;
  std::vector<std::string> options;
};

FRXSSHConfig::FRXSSHConfig() : impl_(std::make_unique<Impl>()) {}
FRXSSHConfig::~FRXSSHConfig() = default;
FRXSSHConfig::FRXSSHConfig(FRXSSHConfig&&) noexcept = default;
FRXSSHConfig& FRXSSHConfig::operator=(FRXSSHConfig&&) noexcept = default;

void FRXSSHConfig::setConfigFile(std::string path) { impl_->configFile = std::move(path); }
void FRXSSHConfig::setHomeDirectory(std::string path) { impl_->home = std::move(path); }

bool FRXSSHConfig::addOption(std::string_view line, FRXError* error) {
  std::string why;
  const auto split = splitLine(line, why);
  if (!split || split->keyword.empty() || (split->arguments.empty() && split->rest.empty())) {
    if (error != nullptr) *error = configError("bad option \"" + std::string(line) + "\": expected KEYWORD=VALUE");
    return false;
  }
  const std::string keyword = lowercase(split->keyword);
  if (keyword == "host" || keyword == "match" || keyword == "include") {
    if (error != nullptr) *error = configError("bad option \"" + std::string(line) + "\": " + split->keyword + " is not an option");
    return false;
  }
  // Checked now, with a throwaway reader, so that a bad value is reported where it was given.
  Reader check("", "/");
  bool active = true;
  if (!check.apply(std::string(line), active, false, "-o " + std::string(line), 0, "/")) {
    if (error != nullptr) *error = configError(check.why);
    return false;
  }
  impl_->options.emplace_back(line);
  return true;
}

std::optional<FRXSSHHostSettings> FRXSSHConfig::settingsForHost(std::string_view host, FRXError* error) const {
  const std::string home = impl_->home.value_or(defaultHome());
  Reader reader{std::string(host), home};
  auto failed = [&]() -> std::optional<FRXSSHHostSettings> {
    if (error != nullptr) *error = configError(reader.why);
    return std::nullopt;
  };
  bool active = true;
  for (const std::string& option : impl_->options) {
    if (!reader.apply(option, active, false, "-o " + option, 0, home + "/.ssh")) return failed();
  }
  if (impl_->configFile) {
    if (*impl_->configFile != "none") {
      active = true;
      if (!reader.readFile(expandTilde(*impl_->configFile, home), true, active, false, 0, home + "/.ssh")) return failed();
    }
  } else {
    active = true;
    if (!reader.readFile(home + "/.ssh/config", false, active, false, 0, home + "/.ssh")) return failed();
    active = true;
    if (!reader.readFile("/etc/ssh/ssh_config", false, active, false, 0, "/etc/ssh")) return failed();
  }

  const Gathered& g = reader.gathered;
  FRXSSHHostSettings settings;
  settings.host = host;
  std::string why;
  const std::map<char, std::string> hostTokens{{'h', std::string(host)}};
  if (g.hostName) {
    auto name = expandTokens(*g.hostName, hostTokens, why);
    if (!name) {
      reader.why = "HostName: " + why;
      return failed();
    }
    settings.hostName = *name;
  } else {
    settings.hostName = host;
  }
  const std::string login = localUser();
  settings.user = g.user.value_or(login);
  settings.port = g.port.value_or(22);
  char hostname[256] = {};
  ::gethostname(hostname, sizeof hostname - 1);
  const std::map<char, std::string> tokens{
      {'d', home},
      {'u', login},
      {'h', settings.hostName},
      {'n', std::string(host)},
      {'r', settings.user},
      {'p', std::to_string(settings.port)},
      {'l', hostname},
      {'i', std::to_string(::getuid())},
  };
  auto expandPath = [&](const std::string& path, const char* keyword) -> std::optional<std::string> {
    auto expanded = expandTokens(expandTilde(path, home), tokens, why);
    if (!expanded) reader.why = std::string(keyword) + ": " + why;
    return expanded;
  };
  for (const std::string& file : g.identityFiles) {
    auto path = expandPath(file, "IdentityFile");
    if (!path) return failed();
    settings.identityFiles.push_back(*path);
  }
  settings.identitiesOnly = g.identitiesOnly.value_or(false);
  const std::vector<std::string> knownHosts =
      g.knownHostsFiles.value_or(std::vector<std::string>{"~/.ssh/known_hosts", "~/.ssh/known_hosts2"});
  for (const std::string& file : knownHosts) {
    if (lowercase(file) == "none") continue;
    auto path = expandPath(file, "UserKnownHostsFile");
    if (!path) return failed();
    settings.userKnownHostsFiles.push_back(*path);
  }
  settings.strictHostKeyChecking = g.strict;
  settings.connectTimeout = g.connectTimeout;
  settings.serverAliveInterval = g.aliveInterval;
  settings.serverAliveCountMax = g.aliveCountMax;
  if (g.proxyCommand && !g.proxyCommand->empty()) {
    auto command = expandTokens(*g.proxyCommand, tokens, why);
    if (!command) {
      reader.why = "ProxyCommand: " + why;
      return failed();
    }
    settings.proxyCommand = *command;
  }
  if (g.proxyJump && !g.proxyJump->empty()) settings.proxyJump = *g.proxyJump;
  return settings;
}
