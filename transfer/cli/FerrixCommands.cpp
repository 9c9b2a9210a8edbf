#include "FerrixCommands.h"

#include "FerrixProgress.h"
#include "FerrixText.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>

namespace ferrix {

std::atomic<FRXSFTP*> transferring{nullptr};
volatile std::sig_atomic_t caughtSignal = 0;

namespace {

// How deep get -r follows the server's directories.
constexpr int kMaxTreeDepth = 64;
constexpr std::uint64_t kTypeMask = 0xF000;
constexpr std::uint64_t kDirectoryType = 0x4000;
constexpr std::uint64_t kRegularType = 0x8000;

struct Shape {
  std::set<std::string> flags;
  std::size_t least;
  std::size_t most;
  const char* usage;
};

const std::map<std::string, Shape>& shapes() {
  static const std::map<std::string, Shape> table{
      {"ls", {{"-l", "-a", "--json"}, 0, 1, "ls [-l] [-a] [--json] [PATH]"}},
      {"stat", {{"--json"}, 1, 1, "stat [--json] PATH"}},
      {"rm", {{}, 1, 1, "rm PATH"}},
      {"rmdir", {{}, 1, 1, "rmdir PATH"}},
      {"mkdir", {{"-p"}, 1, 1, "mkdir [-p] PATH"}},
      {"rename", {{}, 2, 2, "rename OLD NEW"}},
      {"get", {{"-r", "-p", "--resume"}, 1, 2, "get [-r] [-p] [--resume] REMOTE [LOCAL]"}},
      {"put", {{"-r", "-p", "--resume"}, 1, 2, "put [-r] [-p] [--resume] LOCAL [REMOTE]"}},
      {"cd", {{}, 1, 1, "cd PATH"}},
      {"lcd", {{}, 1, 1, "lcd PATH"}},
      {"pwd", {{}, 0, 0, "pwd"}},
  };
  return table;
}

bool hasGlob(std::string_view text) { return text.find_first_of("*?[") != std::string_view::npos; }

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string baseName(const std::string& path) {
  const std::string trimmed = withoutTrailingSlashes(path);
  const std::size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string joined(const std::string& directory, const std::string& name) {
  if (directory.empty() || directory == ".") return name;
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// A name from a remote listing that may name something local: one plain path component.
bool isSafeLocalName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// The library never creates a path's first component; "./" makes a relative name its second.
std::string anchoredRemotePath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.rfind("./", 0) == 0 || path.rfind("../", 0) == 0) return path;
  return "./" + path;
}

// "." and ".." taken out where they can be; a relative path that climbs keeps its "..".
std::string tidied(const std::string& path) {
  const bool absolute = !path.empty() && path.front() == '/';
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);
      }
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out = absolute ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i == 0 ? "" : "/") + parts[i];
  return out.empty() ? "." : out;
}

// sftp's long format: the server's own line where it sent one, else one made from the attributes
// (owner and group as numbers, as the server's names are not known here).
std::string longLine(const FRXSFTPRecord& entry, const std::string& shownName) {
  if (!entry.longEntry.empty() && shownName == entry.name) return printable(entry.longEntry);
  char date[32] = "            ";
  if (entry.modificationTime) {
    constexpr std::time_t kSixMonths = 365 * 24 * 60 * 60 / 2;
    const std::time_t when = static_cast<std::time_t>(*entry.modificationTime);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&when, &local) != nullptr) {
      std::strftime(date, sizeof date, when > now - kSixMonths && when <= now ? "%b %d %H:%M" : "%b %d  %Y", &local);
    }
  }
  auto number = [](const std::optional<std::uint64_t>& id) { return id ? std::to_string(*id) : std::string("?"); };
  char line[160];
  std::snprintf(line, sizeof line, "%s %3u %-8s %-8s %8lld %s ", modeString(entry.permissions).c_str(), 1u,
                number(entry.uid).c_str(), number(entry.gid).c_str(), static_cast<long long>(entry.size), date);
  return line + printable(shownName);
}

bool isLocalDirectory(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::is_directory(path, ignored);
}

std::vector<std::string> splitWords(const std::string& line, std::string& why) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    std::string word;
    char quote = 0;
    for (; i < line.size() && (quote != 0 || (line[i] != ' ' && line[i] != '\t')); ++i) {
      const char c = line[i];
      if (quote != 0 && c == quote) {
        quote = 0;
      } else if (quote == 0 && (c == '"' || c == '\'')) {
        quote = c;
      } else if (c == '\\' && i + 1 < line.size() && quote != '\'') {
        word += line[++i];
      } else {
        word += c;
      }
    }
    if (quote != 0) {
      why = "unbalanced quotes";
      return {};
    }
    words.push_back(std::move(word));
  }
  return words;
}

}  // namespace

bool isCommandFlag(const std::string& command, const std::string& word) {
  const auto found = shapes().find(command);
  if (found == shapes().end()) return false;
  if (found->second.flags.count(word) != 0) return true;
  // ls takes its one-letter flags together, as sftp's does: -la.
  if (command == "ls" && word.size() > 2 && word[0] == '-' && word[1] != '-') {
    return word.find_first_not_of("la", 1) == std::string::npos;
  }
  return false;
}

std::optional<Command> makeCommand(const std::string& name, std::set<std::string> flags,
                                   std::vector<std::string> arguments, std::string& why) {
  const auto found = shapes().find(name);
  if (found == shapes().end()) {
    why = "unknown command " + name;
    return std::nullopt;
  }
  const Shape& shape = found->second;
  std::set<std::string> single;
  for (const std::string& flag : flags) {
    if (!isCommandFlag(name, flag)) {
      why = name + ": unknown flag " + flag + " (" + shape.usage + ")";
      return std::nullopt;
    }
    if (flag.size() > 2 && flag[1] != '-') {
      for (std::size_t i = 1; i < flag.size(); ++i) single.insert(std::string("-") + flag[i]);
    } else {
      single.insert(flag);
    }
  }
  if (arguments.size() < shape.least || arguments.size() > shape.most) {
    why = name + ": expected " + shape.usage;
    return std::nullopt;
  }
  if (single.count("--resume") != 0 && single.count("-r") != 0) {
    why = name + ": --resume takes one file, not -r";
    return std::nullopt;
  }
  return Command{name, std::move(single), std::move(arguments), false};
}

std::optional<Command> parseBatchLine(const std::string& line, std::string& why, bool& blank) {
  blank = false;
  std::string text = line;
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos || text[first] == '#') {
    blank = true;
    return std::nullopt;
  }
  text = text.substr(first);
  bool ignoreErrors = false;
  // sftp's prefixes: "-" goes on after a failure, "@" does not echo (ferrix never echoes).
  while (!text.empty() && (text[0] == '-' || text[0] == '@')) {
    if (text[0] == '-') ignoreErrors = true;
    text = text.substr(1);
  }
  std::vector<std::string> words = splitWords(text, why);
  if (words.empty()) {
    if (why.empty()) why = "no command";
    return std::nullopt;
  }
  std::set<std::string> flags;
  std::vector<std::string> arguments;
  bool flagsEnded = false;
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (!flagsEnded && words[i] == "--") {
      flagsEnded = true;
    } else if (!flagsEnded && words[i].size() > 1 && words[i][0] == '-') {
      flags.insert(words[i]);
    } else {
      arguments.push_back(words[i]);
    }
  }
  auto command = makeCommand(words[0], std::move(flags), std::move(arguments), why);
  if (command) command->ignoreErrors = ignoreErrors;
  return command;
}

int Session::run(const Command& c) {
  const auto& args = c.arguments;
  keepModes_ = preserve_ || c.flags.count("-p") != 0;
  if (c.name == "ls") return list(c);
  if (c.name == "stat") return status(c);
  if (c.name == "get") return get(c);
  if (c.name == "put") return put(c);
  if (c.name == "rm") return remove(c);
  if (c.name == "mkdir") return makeDirectory(remotePath(args[0]), c.flags.count("-p") != 0);
  if (c.name == "rmdir") {
    FRXError error;
    return sftp_.removeDirectoryAtPath(remotePath(args[0]), &error) ? 0 : report("rmdir " + args[0], error);
  }
  if (c.name == "rename") {
    FRXError error;
    return sftp_.renameItemAtPath(remotePath(args[0]), remotePath(args[1]), &error)
               ? 0
               : report("rename " + args[0] + " " + args[1], error);
  }
  if (c.name == "cd") return changeDirectory(args[0]);
  if (c.name == "lcd") {
    std::error_code failed;
    std::filesystem::current_path(args[0], failed);
    return failed ? report("lcd " + args[0], failed.message()) : 0;
  }
  if (c.name == "pwd") {
    std::printf("Remote working directory: %s\n", printable(cwd_.empty() ? "~" : cwd_).c_str());
    return 0;
  }
  return report(c.name, "unknown command");
}

std::string Session::remotePath(const std::string& path) const {
  if (path.empty() || path.front() == '/' || cwd_.empty()) return path;
  return tidied(cwd_ + "/" + path);
}

std::optional<FRXSFTPRecord> Session::remoteItem(const std::string& path) {
  FRXError ignored;
  return sftp_.attributesOfItemAtPath(path, &ignored);
}

int Session::changeDirectory(const std::string& path) {
  const std::string target = remotePath(path);
  FRXError error;
  const auto item = sftp_.attributesOfItemAtPath(target, &error);
  if (!item) return report("cd " + path, error);
  if ((item->permissions & kTypeMask) != kDirectoryType) return report("cd " + path, "not a directory");
  cwd_ = target.front() == '/' || !cwd_.empty() ? tidied(target) : tidied(path);
  return 0;
}

std::optional<std::vector<std::string>> Session::expandRemote(const std::string& path, const std::string& what) {
  const std::string full = remotePath(path);
  const std::string name = baseName(full);
  if (!hasGlob(name)) return std::vector<std::string>{full};
  const std::size_t slash = full.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : full.substr(0, slash));
  if (hasGlob(directory)) {
    report(what, "globs are matched in the last component of a path only");
    return std::nullopt;
  }
  FRXError error;
  const auto entries = sftp_.contentsOfDirectoryAtPath(directory, &error);
  if (!error.domain.empty()) {
    report(what, error);
    return std::nullopt;
  }
  std::vector<std::string> matches;
  for (const FRXSFTPRecord& entry : entries) {
    if (!isSafeLocalName(entry.name)) continue;
    // As in a shell: a leading dot is matched only by a pattern that has one.
    if (::fnmatch(name.c_str(), entry.name.c_str(), FNM_PERIOD) == 0) {
      matches.push_back(slash == std::string::npos ? entry.name : joined(directory, entry.name));
    }
  }
  if (matches.empty()) {
    report(what, "no such file (nothing matches)");
    return std::nullopt;
  }
  std::sort(matches.begin(), matches.end());
  return matches;
}

int Session::list(const Command& c) {
  const bool json = c.flags.count("--json") != 0;
  const bool all = c.flags.count("-a") != 0;
  const bool longFormat = c.flags.count("-l") != 0;
  const std::string given = c.arguments.empty() ? "" : c.arguments[0];
  const std::string what = "ls " + (given.empty() ? std::string(".") : given);
  std::string path = given.empty() ? (cwd_.empty() ? "." : cwd_) : remotePath(given);
  std::string pattern;
  if (hasGlob(baseName(path))) {
    pattern = baseName(path);
    const std::size_t slash = path.rfind('/');
    path = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  }
  FRXError error;
  std::vector<FRXSFTPRecord> entries = sftp_.contentsOfDirectoryAtPath(path, &error);
  if (!error.domain.empty()) {
    // sftp lists a file as itself.
    const auto item = pattern.empty() ? remoteItem(path) : std::nullopt;
    if (!item) return report(what, error);
    if ((item->permissions & kTypeMask) == kDirectoryType) return report(what, error);
    entries = {*item};
    entries.front().name = given;
    pattern.clear();
  }
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [&](const FRXSFTPRecord& entry) {
                                 if (!all && !entry.name.empty() && entry.name[0] == '.') return true;
                                 return !pattern.empty() && ::fnmatch(pattern.c_str(), entry.name.c_str(),
                                                                      all ? 0 : FNM_PERIOD) != 0;
                               }),
                entries.end());
  std::sort(entries.begin(), entries.end(),
            [](const FRXSFTPRecord& a, const FRXSFTPRecord& b) { return a.name < b.name; });
  if (json) std::fputs("[", stdout);
  bool first = true;
  for (const FRXSFTPRecord& entry : entries) {
    if (json) {
      std::printf("%s\n  {\"name\": %s, \"permissions\": %llu, \"mode\": \"%s\", \"size\": %lld}", first ? "" : ",",
                  jsonString(entry.name).c_str(), static_cast<unsigned long long>(entry.permissions),
                  modeString(entry.permissions).c_str(), static_cast<long long>(entry.size));
    } else if (longFormat) {
      std::printf("%s\n", longLine(entry, entry.name).c_str());
    } else {
      std::printf("%s\n", printable(entry.name).c_str());
    }
    first = false;
  }
  if (json) std::fputs("\n]\n", stdout);
  return 0;
}

int Session::status(const Command& c) {
  FRXError error;
  const auto record = sftp_.attributesOfItemAtPath(remotePath(c.arguments[0]), &error);
  if (!record) return report("stat " + c.arguments[0], error);
  if (c.flags.count("--json") != 0) {
    std::printf("{\"name\": %s, \"permissions\": %llu, \"mode\": \"%s\", \"size\": %lld}\n",
                jsonString(record->name).c_str(), static_cast<unsigned long long>(record->permissions),
                modeString(record->permissions).c_str(), static_cast<long long>(record->size));
  } else {
    std::printf("name: %s\npermissions: %06llo (%s)\nsize: %lld\n", printable(record->name).c_str(),
                static_cast<unsigned long long>(record->permissions), modeString(record->permissions).c_str(),
                static_cast<long long>(record->size));
  }
  return 0;
}

int Session::remove(const Command& c) {
  FRXError error;
  const std::string path = remotePath(c.arguments[0]);
  if (!sftp_.removeItemAtPath(path, &error)) {
    const auto item = remoteItem(path);
    if (item && (item->permissions & kTypeMask) == kDirectoryType) return report("rm " + c.arguments[0], "is a directory (use rmdir)");
    return report("rm " + c.arguments[0], error);
  }
  return 0;
}

int Session::get(const Command& c) {
  const bool recursive = c.flags.count("-r") != 0;
  const bool resume = c.flags.count("--resume") != 0;
  const std::string& source = c.arguments[0];
  const std::string destination = c.arguments.size() > 1 ? c.arguments[1] : ".";
  const auto sources = expandRemote(source, "get " + source);
  if (!sources) return 1;
  // A directory destination, or several sources, means "into it".
  const bool into = isLocalDirectory(destination) || destination.back() == '/' || sources->size() > 1;
  if (sources->size() > 1 && !isLocalDirectory(destination)) return report("get " + source, destination + ": not a directory");
  std::vector<PendingDownload> files;
  std::vector<std::pair<std::string, std::uint64_t>> directories;
  int status = 0;
  for (const std::string& remote : *sources) {
    FRXError error;
    const auto item = sftp_.attributesOfItemAtPath(remote, &error);
    if (!item) {
      status = report("get " + remote, error);
      break;
    }
    const std::uint64_t type = item->permissions & kTypeMask;
    std::string local = destination;
    if (into) local = joined(withoutTrailingSlashes(destination), baseName(remote));
    if (type == kDirectoryType) {
      status = recursive ? collectDownloadTree(remote, local, 0, item->permissions, files, directories)
                         : report("get " + remote, "is a directory (use get -r)");
      if (status != 0) break;
    } else {
      files.push_back({remote, local, resume, item->permissions, item->size,
                       RemoteTimes{item->modificationTime, item->accessTime}});
    }
  }
  // What was found before a failure is still fetched, as it was when each file went on its own.
  if (int moved = downloadAll(files); status == 0) status = moved;
  // The directories' modes once their files are in (a read-only one would refuse them), deepest first.
  for (auto directory = directories.rbegin(); status == 0 && keepModes_ && directory != directories.rend(); ++directory) {
    if (::chmod(directory->first.c_str(), static_cast<mode_t>(directory->second & 07777)) != 0) {
      status = report("get -r " + directory->first, "cannot keep the mode of " + directory->first);
    }
  }
  return status;
}

int Session::put(const Command& c) {
  const bool recursive = c.flags.count("-r") != 0;
  const bool resume = c.flags.count("--resume") != 0;
  const std::string& source = c.arguments[0];
  std::vector<std::string> sources;
  if (hasGlob(source)) {
    glob_t found{};
    if (::glob(source.c_str(), 0, nullptr, &found) == 0) {
      for (std::size_t i = 0; i < found.gl_pathc; ++i) sources.emplace_back(found.gl_pathv[i]);
    }
    ::globfree(&found);
    if (sources.empty()) return report("put " + source, "no such file (nothing matches)");
  } else {
    sources.push_back(source);
  }
  const std::string destination = c.arguments.size() > 1 ? remotePath(c.arguments[1]) : (cwd_.empty() ? "" : cwd_);
  bool into = destination.empty() || destination.back() == '/' || sources.size() > 1;
  if (!destination.empty()) {
    const auto item = remoteItem(destination);
    const bool directory = item && (item->permissions & kTypeMask) == kDirectoryType;
    if (sources.size() > 1 && !directory) return report("put " + source, c.arguments[1] + ": not a directory");
    into = into || directory;
  }
  std::vector<PendingUpload> files;
  int status = 0;
  for (const std::string& local : sources) {
    std::string remote = destination;
    if (into) remote = destination.empty() ? baseName(local) : joined(withoutTrailingSlashes(destination), baseName(local));
    if (isLocalDirectory(local)) {
      status = recursive ? collectUploadTree(local, remote, files) : report("put " + local, "is a directory (use put -r)");
      if (status != 0) break;
    } else {
      files.push_back({local, remote, resume});
    }
  }
  if (int moved = uploadAll(files); status == 0) status = moved;
  return status;
}

int Session::makeDirectory(const std::string& path, bool parents) {
  FRXError error;
  return sftp_.createDirectoryAtPath(anchoredRemotePath(path), parents, &error) ? 0 : report("mkdir " + path, error);
}

void Session::noteStreams() {
  const int available = sftp_.availableStreams();
  if (streamsNoted_ || !verbose() || available >= sftp_.streams()) return;
  streamsNoted_ = true;
  std::fprintf(stderr, "ferrix: the server refused further connections: %d stream%s instead of %d\n", available,
               available == 1 ? "" : "s", sftp_.streams());
}

int Session::uploadAll(const std::vector<PendingUpload>& files) {
  if (files.empty()) return 0;
  // Taken before the upload reads the files, which may move their access times.
  std::vector<struct stat> localStatus(files.size());
  for (std::size_t i = 0; keepModes_ && i < files.size(); ++i) {
    if (::stat(files[i].local.c_str(), &localStatus[i]) != 0) return report("put " + files[i].local, std::strerror(errno));
  }
  std::vector<FRXTransferItem> items;
  for (const PendingUpload& file : files) items.push_back({file.local, file.remote, file.resume});
  int status = 0;
  sftp_.copyItemsAtPaths(items, [&](std::size_t i, const FRXTransferOutcome* outcome) {
    const PendingUpload& file = files[i];
    if (outcome == nullptr) {
      progress_.begin(file.local);
      return;
    }
    progress_.end(outcome->succeeded);
    FRXError error = outcome->error.value_or(FRXError{});
    if (!outcome->succeeded) {
      status = error.domain == FRXCocoaErrorDomain ? report("put " + file.local, error)
                                                   : report("put " + file.local + " to " + file.remote, error);
    } else if (keepModes_ && !sftp_.setTimesOfItemAtPath(file.remote, localStatus[i].st_atim.tv_sec,
                                                          localStatus[i].st_mtim.tv_sec, &error)) {
      status = report("put " + file.local + ": cannot keep its times on " + file.remote, error);
    }
  });
  noteStreams();
  return status;
}

int Session::downloadAll(const std::vector<PendingDownload>& files) {
  int status = 0;
  std::vector<FRXTransferItem> items;
  std::vector<const PendingDownload*> moving;
  for (const PendingDownload& file : files) {
    if (file.size != 0 || file.resume) {
      items.push_back({file.remote, file.local, file.resume});
      moving.push_back(&file);
      continue;
    }
    // The library finds nothing to copy in an empty file; the command still makes its copy.
    const int fd = ::open(file.local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
      status = report("get " + file.remote + " to " + file.local, std::strerror(errno));
      continue;
    }
    ::close(fd);
    progress_.begin(file.remote);
    progress_.end(true);
    if (int kept = keepAttributes(file.remote, file.local, file.permissions, file.times); kept != 0) status = kept;
  }
  if (items.empty()) return status;
  transferring.store(&sftp_);
  sftp_.copyItemsAtRemotePaths(items, [&](std::size_t i, const FRXTransferOutcome* outcome) {
    const PendingDownload& file = *moving[i];
    if (outcome == nullptr) {
      progress_.begin(file.remote);
      return;
    }
    progress_.end(outcome->succeeded);
    const FRXError error = outcome->error.value_or(FRXError{});
    if (caughtSignal != 0) return;  // stopped by a signal: the command ends without a word per file
    if (!outcome->succeeded) {
      status = error.domain == FRXCocoaErrorDomain ? report("get " + file.remote + " to " + file.local, error)
                                                   : report("get " + file.remote, error);
    } else if (int kept = keepAttributes(file.remote, file.local, file.permissions, file.times); kept != 0) {
      status = kept;
    }
  });
  transferring.store(nullptr);
  if (caughtSignal != 0) std::_Exit(128 + caughtSignal);
  noteStreams();
  return status;
}

int Session::keepAttributes(const std::string& remote, const std::string& local, std::uint64_t permissions,
                            const RemoteTimes& times) {
  if (!keepModes_) return 0;
  if (::chmod(local.c_str(), static_cast<mode_t>(permissions & 07777)) != 0) {
    return report("get " + remote, "cannot keep the mode of " + local);
  }
  if (times.modification && times.access) {
    const timespec both[2] = {{static_cast<std::time_t>(*times.access), 0},
                              {static_cast<std::time_t>(*times.modification), 0}};
    if (::utimensat(AT_FDCWD, local.c_str(), both, 0) != 0) {
      return report("get " + remote, "cannot keep the times of " + local + ": " + std::strerror(errno));
    }
  }
  return 0;
}

int Session::collectUploadTree(const std::string& localDirectory, const std::string& remoteDirectory,
                               std::vector<PendingUpload>& files) {
  if (int status = makeDirectory(remoteDirectory, true); status != 0) return status;
  std::error_code walkError;
  std::filesystem::recursive_directory_iterator walk(localDirectory, walkError);
  for (; !walkError && walk != std::filesystem::recursive_directory_iterator(); walk.increment(walkError)) {
    const std::filesystem::path relative = walk->path().lexically_relative(localDirectory);
    const std::string remote = remoteDirectory + "/" + relative.generic_string();
    std::error_code typeError;
    const auto type = walk->symlink_status(typeError).type();
    if (type == std::filesystem::file_type::directory) {
      FRXError error;
      if (!sftp_.createDirectoryAtPath(anchoredRemotePath(remote), &error) &&
          !(error.domain == FRXSFTPErrorDomain && error.code == FRXSFTPErrorItemExists)) {
        return report("mkdir " + remote, error);
      }
    } else if (type == std::filesystem::file_type::regular) {
      files.push_back({walk->path().string(), remote, false});
    } else {
      std::fprintf(stderr, "ferrix: skipping %s (not a regular file or directory)\n", printable(walk->path().string()).c_str());
    }
  }
  if (walkError) return report("put -r " + localDirectory, walkError.message());
  return 0;
}

// Every name comes from the server: each must be one plain component before it names anything
// below the local directory, and links, devices and the like are passed over.
int Session::collectDownloadTree(const std::string& remoteDirectory, const std::string& localDirectory, int depth,
                                 std::uint64_t permissions, std::vector<PendingDownload>& files,
                                 std::vector<std::pair<std::string, std::uint64_t>>& directories) {
  if (depth > kMaxTreeDepth) return report("get -r " + remoteDirectory, "nested too deeply");
  FRXError error;
  const auto entries = sftp_.contentsOfDirectoryAtPath(remoteDirectory, &error);
  if (!error.domain.empty()) return report("get -r " + remoteDirectory, error);
  std::error_code made;
  std::filesystem::create_directory(localDirectory, made);
  if (made) return report("get -r " + remoteDirectory, "cannot create " + localDirectory + ": " + made.message());
  directories.emplace_back(localDirectory, permissions);
  for (const FRXSFTPRecord& entry : entries) {
    if (entry.name == "." || entry.name == "..") continue;
    if (!isSafeLocalName(entry.name)) {
      std::fprintf(stderr, "ferrix: get -r: refusing the name %s sent by the server\n", printable(entry.name).c_str());
      continue;
    }
    const std::string remote = remoteDirectory + "/" + entry.name;
    const std::string local = localDirectory + "/" + entry.name;
    const std::uint64_t type = entry.permissions & kTypeMask;
    if (type == kDirectoryType) {
      if (int status = collectDownloadTree(remote, local, depth + 1, entry.permissions, files, directories); status != 0) {
        return status;
      }
    } else if (type == kRegularType) {
      files.push_back({remote, local, false, entry.permissions, entry.size,
                       RemoteTimes{entry.modificationTime, entry.accessTime}});
    } else {
      std::fprintf(stderr, "ferrix: skipping %s (not a regular file or directory)\n", printable(remote).c_str());
    }
  }
  return 0;
}

}  // namespace ferrix
