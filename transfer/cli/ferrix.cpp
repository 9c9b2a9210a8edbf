// ferrix: a small SFTP command over the Ferrix library, configured as OpenSSH's clients are.
//   ferrix [options] [USER@]HOST COMMAND ARGS
//   ferrix [options] -b BATCHFILE [USER@]HOST
#include <Ferrix/Ferrix.h>

#include "FerrixCommands.h"
#include "FerrixProgress.h"
#include "FerrixProxy.h"
#include "FerrixText.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#ifndef FERRIX_VERSION
#define FERRIX_VERSION "unknown"
#endif

namespace {

using namespace ferrix;

// Parallel streams: how many connections by default, the most one may ask for, and the file size
// from which one file is split over them.
constexpr int kDefaultStreams = 4;
constexpr int kMostStreams = 16;
constexpr std::uint64_t kStreamThreshold = std::uint64_t{64} << 20;

constexpr const char* kShortUsage =
    "usage: ferrix [options] [USER@]HOST COMMAND [ARGS]\n"
    "       ferrix [options] -b BATCHFILE [USER@]HOST\n"
    "       ferrix [options] sftp://[USER@]HOST[:PORT][/PATH] COMMAND [ARGS]\n"
    "Try 'ferrix --help' for the commands and options.\n";

constexpr const char* kUsage =
    "usage: ferrix [options] [USER@]HOST COMMAND [ARGS]\n"
    "       ferrix [options] -b BATCHFILE [USER@]HOST\n"
    "       ferrix [options] sftp://[USER@]HOST[:PORT][/PATH] COMMAND [ARGS]\n"
    "\n"
    "HOST may be an alias of the OpenSSH configuration. Without USER@ the configuration's User is\n"
    "used, else the login name. The PATH of an sftp:// URL is the directory that relative remote\n"
    "paths start from. Options may come anywhere on the line; -- ends them.\n"
    "\n"
    "Commands:\n"
    "  ls [-l] [-a] [--json] [PATH]    list a remote directory, sorted (-l: sftp's long format; -a: also\n"
    "                                  names that begin with a dot; a glob lists what it matches)\n"
    "  stat [--json] PATH              show a remote item's permissions and size\n"
    "  rm PATH                         remove a remote file\n"
    "  rmdir PATH                      remove a remote directory and what it holds\n"
    "                                  (hidden entries and links stop the removal)\n"
    "  mkdir [-p] PATH                 create a remote directory (-p: and its parents)\n"
    "  rename OLD NEW                  rename a remote item (an item already at NEW is kept)\n"
    "  get [-p] [--resume] REMOTE [LOCAL]\n"
    "                                  download files (a glob in the last component); into LOCAL\n"
    "                                  when it is a directory (default: the current directory)\n"
    "  get -r [-p] REMOTEDIR [LOCAL]   download a directory tree (regular files and directories)\n"
    "  put [-p] [--resume] LOCAL [REMOTE]\n"
    "                                  upload files (globs too); into REMOTE when it is a directory\n"
    "  put -r [-p] LOCALDIR [REMOTE]   upload a directory tree\n"
    "  cd PATH, lcd PATH, pwd          (in batch files) change the remote or local directory\n"
    "  --resume continues a partial transfer; -p keeps the permission bits and modification times.\n"
    "\n"
    "Options:\n"
    "  -b BATCHFILE                one command per line on one session (- for standard input);\n"
    "                              a line that begins with - may fail without ending the batch\n"
    "  -F CONFIGFILE               this OpenSSH configuration file instead of ~/.ssh/config and\n"
    "                              /etc/ssh/ssh_config (none: no file)\n"
    "  -o KEYWORD=VALUE            an OpenSSH configuration option: HostName, User, Port,\n"
    "                              IdentityFile, IdentitiesOnly, UserKnownHostsFile,\n"
    "                              StrictHostKeyChecking, ConnectTimeout, ServerAliveInterval,\n"
    "                              ServerAliveCountMax, ProxyCommand, ProxyJump\n"
    "  -J DESTINATION              connect through this jump host ([USER@]HOST[:PORT][,...])\n"
    "  -P PORT                     server port (default 22, or the configuration's Port)\n"
    "  -i KEYFILE                  log in with this private key (KEYFILE.pub is used when present)\n"
    "  -p                          keep the permission bits and times in every transfer\n"
    "  --password-env VAR          log in with the password held in environment variable VAR\n"
    "  --passphrase-env VAR        the passphrase of the key file, from environment variable VAR\n"
    "  --known-hosts FILE          the known-hosts file (default ~/.ssh/known_hosts)\n"
    "  --fingerprint SHA256:...    accept only the host key with this fingerprint\n"
    "  --insecure-host-key         accept ANY host key (no protection against interception)\n"
    "  --timeout SECONDS           longest wait for the server, connecting included (default 30,\n"
    "                              or the configuration's ConnectTimeout; 0: no limit)\n"
    "  --stop-and-wait             one 16 KiB request at a time instead of many in flight\n"
    "  --streams N                 move files of 64 MiB and more over N connections at once, and N\n"
    "                              files of a tree or glob at once (default 4; 1: one connection)\n"
    "  -q                          no progress lines\n"
    "  -v                          error codes and the library's log lines too\n"
    "  -h, --help                  show this help\n"
    "  --version                   show the version\n"
    "\n"
    "Login: with --password-env the password (keyboard-interactive too, when that is what the\n"
    "server offers); with -i (or IdentityFile) that key; otherwise the ssh-agent's keys when\n"
    "SSH_AUTH_SOCK is set and IdentitiesOnly is not, then ~/.ssh/id_ed25519. On a terminal a\n"
    "passphrase or password that is needed and not given is asked for without echo.\n"
    "Host keys: a host missing from the known-hosts file is added to it (and said so on standard\n"
    "error) unless StrictHostKeyChecking is yes; a changed or revoked key is refused.\n"
    "Exit status: 0 on success, 1 otherwise (the error is printed on standard error), 130 after\n"
    "SIGINT and 143 after SIGTERM (a download in progress leaves no file behind).\n";

struct Options {
  std::optional<std::int32_t> port;
  std::optional<std::string> keyFile;
  std::optional<std::string> passwordVariable;
  std::optional<std::string> passphraseVariable;
  std::optional<std::string> knownHosts;
  std::optional<std::string> fingerprint;
  std::optional<std::string> configFile;
  std::optional<std::string> jump;
  std::optional<std::string> batchFile;
  std::vector<std::string> sshOptions;
  bool insecureHostKey = false;
  std::optional<double> timeout;
  bool stopAndWait = false;
  int streams = kDefaultStreams;
  bool preserve = false;
  bool quiet = false;
  bool verbose = false;
  std::optional<std::string> user;
  std::string host;
  std::string remoteDirectory;  // the path of an sftp:// URL
  std::vector<Command> commands;
};

// The terminal's settings while a prompt has its echo turned off, to put back on the way out.
termios echoingTerminal{};
volatile sig_atomic_t echoIsOff = 0;

extern "C" void onSignal(int signal) {
  caughtSignal = signal;
  if (FRXSFTP* sftp = transferring.load()) {
    sftp->cancelTransfer();
  } else {
    if (echoIsOff != 0) tcsetattr(STDIN_FILENO, TCSANOW, &echoingTerminal);
    _exit(128 + signal);
  }
}

// Echo goes off before the prompt shows, so nothing typed after it is ever shown, and comes back
// however the prompt ends (a signal included).
std::optional<std::string> askWithoutEcho(const std::string& prompt) {
  if (isatty(STDIN_FILENO) == 0) return std::nullopt;
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return std::nullopt;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  echoingTerminal = saved;
  echoIsOff = 1;
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
    echoIsOff = 0;
    return std::nullopt;
  }
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  std::string answer;
  std::getline(std::cin, answer);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  echoIsOff = 0;
  std::fputc('\n', stderr);
  return answer;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "ferrix: %s\n%s", message.c_str(), kShortUsage);
  return 1;
}

std::string percentDecoded(const std::string& text, bool& bad) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      bad = true;
      return {};
    }
    out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

std::optional<std::int32_t> portNumber(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const int port = std::stoi(text);
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

// [USER@]HOST, or sftp://[USER[;PARAMETERS]@]HOST[:PORT][/PATH] with %-escapes.
bool parseTarget(const std::string& target, Options& options, std::string& why) {
  std::string rest = target;
  const bool url = rest.rfind("sftp://", 0) == 0;
  if (url) {
    rest = rest.substr(7);
    const std::size_t slash = rest.find('/');
    if (slash != std::string::npos) {
      bool bad = false;
      std::string path = percentDecoded(rest.substr(slash), bad);
      if (bad) {
        why = "bad %-escape in " + target;
        return false;
      }
      // "/~/x" starts at the login directory, as in the sftp URI scheme.
      if (path == "/~" || path.rfind("/~/", 0) == 0) path = path.size() > 3 ? path.substr(3) : "";
      if (path == "/") path.clear();
      options.remoteDirectory = path;
      rest = rest.substr(0, slash);
    }
  }
  if (const std::size_t at = rest.rfind('@'); at != std::string::npos) {
    std::string user = rest.substr(0, at);
    rest = rest.substr(at + 1);
    if (url) {
      user = user.substr(0, user.find(';'));
      bool bad = false;
      user = percentDecoded(user, bad);
      if (bad) {
        why = "bad %-escape in " + target;
        return false;
      }
    }
    if (user.empty()) {
      why = "empty user name in " + target;
      return false;
    }
    if (!options.user) options.user = user;
  }
  if (url) {
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
      const std::size_t close = rest.find(']');
      if (close == std::string::npos) {
        why = "bad host in " + target;
        return false;
      }
      if (close + 1 < rest.size()) {
        if (rest[close + 1] != ':') {
          why = "bad host in " + target;
          return false;
        }
        portText = rest.substr(close + 2);
      }
      rest = rest.substr(1, close - 1);
    } else if (const std::size_t colon = rest.rfind(':'); colon != std::string::npos) {
      portText = rest.substr(colon + 1);
      rest = rest.substr(0, colon);
    }
    if (!portText.empty()) {
      const auto port = portNumber(portText);
      if (!port) {
        why = "bad port in " + target;
        return false;
      }
      if (!options.port) options.port = port;
    }
  }
  if (rest.empty()) {
    why = "no host in " + target;
    return false;
  }
  options.host = rest;
  return true;
}

// Options are taken wherever they stand, except that after the command word a word the command
// itself takes (mkdir -p, get -r, ls -l) is the command's.
bool parse(int argc, char** argv, Options& options, int& exitStatus) {
  std::vector<std::string> positional;
  std::set<std::string> commandFlags;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) {
        exitStatus = usageError(arg + " needs a value");
        return std::nullopt;
      }
      return std::string(argv[++i]);
    };
    if (optionsEnded || arg.size() < 2 || arg.front() != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (positional.size() >= 2 && isCommandFlag(positional[1], arg)) {
      commandFlags.insert(arg);
      continue;
    }
    std::optional<std::string> given;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      exitStatus = 0;
      return false;
    } else if (arg == "--version") {
      std::printf("ferrix %s\n", FERRIX_VERSION);
      exitStatus = 0;
      return false;
    } else if (arg == "-P") {
      if (!(given = value())) return false;
      if (!(options.port = portNumber(*given))) {
        exitStatus = usageError("bad port: " + *given);
        return false;
      }
    } else if (arg == "-i") {
      if (!(options.keyFile = value())) return false;
    } else if (arg == "-F") {
      if (!(options.configFile = value())) return false;
    } else if (arg == "-J") {
      if (!(options.jump = value())) return false;
    } else if (arg == "-o") {
      if (!(given = value())) return false;
      options.sshOptions.push_back(*given);
    } else if (arg == "-b") {
      if (!(options.batchFile = value())) return false;
    } else if (arg == "--password-env") {
      if (!(options.passwordVariable = value())) return false;
    } else if (arg == "--passphrase-env") {
      if (!(options.passphraseVariable = value())) return false;
    } else if (arg == "--insecure-host-key") {
      options.insecureHostKey = true;
    } else if (arg == "--stop-and-wait") {
      options.stopAndWait = true;
    } else if (arg == "--streams") {
      if (!(given = value())) return false;
      char* end = nullptr;
      const long count = std::strtol(given->c_str(), &end, 10);
      if (end == given->c_str() || *end != '\0' || count < 1 || count > kMostStreams) {
        exitStatus = usageError("bad stream count (1 to " + std::to_string(kMostStreams) + "): " + *given);
        return false;
      }
      options.streams = static_cast<int>(count);
    } else if (arg == "-p") {
      options.preserve = true;
    } else if (arg == "-q") {
      options.quiet = true;
    } else if (arg == "-v") {
      options.verbose = true;
    } else if (arg == "--timeout") {
      if (!(given = value())) return false;
      char* end = nullptr;
      const double seconds = std::strtod(given->c_str(), &end);
      if (end == given->c_str() || *end != '\0' || !(seconds >= 0) || seconds > 1e6) {
        exitStatus = usageError("bad timeout: " + *given);
        return false;
      }
      options.timeout = seconds;
    } else if (arg == "--known-hosts") {
      if (!(options.knownHosts = value())) return false;
    } else if (arg == "--fingerprint") {
      if (!(options.fingerprint = value())) return false;
    } else {
      exitStatus = usageError("unknown option " + arg);
      return false;
    }
  }
  if (positional.empty()) {
    exitStatus = usageError("a HOST is required");
    return false;
  }
  std::string why;
  if (!parseTarget(positional[0], options, why)) {
    exitStatus = usageError(why);
    return false;
  }
  if (options.batchFile) {
    if (positional.size() > 1) {
      exitStatus = usageError("-b takes its commands from the batch file, not from the command line");
      return false;
    }
    std::ifstream file;
    std::istream* in = &std::cin;
    if (*options.batchFile != "-") {
      file.open(*options.batchFile);
      if (!file) {
        exitStatus = report(*options.batchFile, std::string("cannot read the batch file: ") + std::strerror(errno));
        return false;
      }
      in = &file;
    }
    std::string line;
    for (int number = 1; std::getline(*in, line); ++number) {
      bool blank = false;
      auto command = parseBatchLine(line, why, blank);
      if (blank) continue;
      if (!command) {
        exitStatus = report(*options.batchFile + " line " + std::to_string(number), why);
        return false;
      }
      options.commands.push_back(std::move(*command));
    }
    return true;
  }
  if (positional.size() < 2) {
    exitStatus = usageError("a COMMAND is required");
    return false;
  }
  auto command = makeCommand(positional[1], commandFlags, {positional.begin() + 2, positional.end()}, why);
  if (!command || command->name == "cd" || command->name == "lcd" || command->name == "pwd") {
    exitStatus = usageError(command ? command->name + " is for batch files (-b)" : why);
    return false;
  }
  options.commands.push_back(std::move(*command));
  return true;
}

std::optional<std::string> fromEnvironment(const std::string& variable) {
  const char* value = std::getenv(variable.c_str());
  if (value == nullptr) {
    std::fprintf(stderr, "ferrix: environment variable %s is not set\n", variable.c_str());
    return std::nullopt;
  }
  return std::string(value);
}

// The cause of a failed TCP connect, from the errno the library kept.
std::string whyNoConnection(int cause) {
  switch (cause) {
    case ECONNREFUSED: return "connection refused";
    case ENETUNREACH: return "network unreachable";
    case EHOSTUNREACH: return "host unreachable";
    case ETIMEDOUT: return "timed out";
    case 0: return "cannot connect";
    default: return std::string("cannot connect (") + std::strerror(cause) + ")";
  }
}

// The line of a known-hosts file that holds a key for `name`, as ssh-keygen -F finds it (hashed
// lines included); 0 when there is none or ssh-keygen can't be run.
int knownHostsLine(const std::string& file, const std::string& name) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return 0;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) dup2(null, STDERR_FILENO);
    execlp("ssh-keygen", "ssh-keygen", "-F", name.c_str(), "-f", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);
  const std::size_t found = text.find("found: line ");
  return found == std::string::npos ? 0 : std::atoi(text.c_str() + found + 12);
}

class Connector {
public:
  // `spareKeys`: key files to try, in order, when the server refuses the connection's own.
  Connector(const Options& options, const FRXSSHHostSettings& settings, FRXSFTP& sftp,
            std::vector<std::string> spareKeys)
      : options_(options), settings_(settings), sftp_(sftp), spareKeys_(std::move(spareKeys)) {}

  // Connects (through the proxy when there is one), trying each identity file in turn; on a
  // terminal a missing credential is asked for once. 0, or the exit status after the failure was
  // reported.
  int connect() {
    FRXError error;
    bool connected = attempt(error);
    for (const std::string& key : spareKeys_) {
      if (connected || error.localizedDescription.rfind("Server rejected key", 0) != 0) break;
      sftp_.disconnect();
      std::error_code ignored;
      sftp_.setPrivateKeyPath(key);
      sftp_.setPublicKeyPath(std::filesystem::exists(key + ".pub", ignored) ? std::optional(key + ".pub") : std::nullopt);
      connected = attempt(error);
    }
    const bool reachedServer = error.localizedDescription.rfind("Socket connection failed", 0) != 0 &&
                               error.localizedDescription.rfind("Unable to find host", 0) != 0;
    if (!connected && isatty(STDIN_FILENO) != 0 && error.domain == FRXErrorDomain &&
        error.code == FRXConnectionErrorFailed && reachedServer && !options_.passwordVariable &&
        !options_.passphraseVariable) {
      std::optional<std::string> asked;
      if (options_.keyFile || !settings_.identityFiles.empty()) {
        asked = askWithoutEcho("Passphrase for " + *sftp_.privateKeyPath() + ": ");
        if (asked) sftp_.setPassphrase(*asked);
      } else {
        asked = askWithoutEcho(settings_.user + "@" + settings_.hostName + "'s password: ");
        if (asked) sftp_.setPassword(*asked);
      }
      if (asked) {
        sftp_.disconnect();
        connected = attempt(error);
      }
    }
    if (connected) {
      if (sftp_.hostKeyOutcome() == FRXHostKeyOutcome::Added) {
        std::fprintf(stderr, "ferrix: added %s to the known hosts (%s)\n", sftp_.serverHostKeyFingerprint().c_str(),
                     sftp_.knownHostsPath()->c_str());
      }
      return 0;
    }
    return explain(error);
  }

private:
  bool attempt(FRXError& error) {
    proxy_.reset();
    std::string why;
    std::optional<std::string> jump = options_.jump;
    if (!jump) jump = settings_.proxyJump;
    if (jump || settings_.proxyCommand) {
      proxy_ = jump ? Proxy::jump(*jump, settings_.hostName, settings_.port, options_.configFile, why)
                    : Proxy::command(*settings_.proxyCommand, why);
      if (!proxy_) {
        error.domain = FRXErrorDomain;
        error.code = FRXConnectionErrorFailed;
        error.localizedDescription = why;
        return false;
      }
      sftp_.setConnectedSocket(proxy_->takeSocket());
      // Further connections would go straight to the host, not through the proxy.
      if (sftp_.streams() > 1 && verbose()) std::fputs("ferrix: through a proxy: one connection, no streams\n", stderr);
      sftp_.setStreams(1);
    }
    return sftp_.connectWithError(&error);
  }

  int explain(const FRXError& error) {
    const std::string what = "connect to " + settings_.host;
    if (error.domain == FRXErrorDomain && error.localizedDescription.rfind("Socket connection failed", 0) == 0 && !proxy_) {
      std::string words = whyNoConnection(error.underlyingPOSIXError);
      if (verbose()) words += " [" + error.domain + " " + std::to_string(error.code) + ": " + error.localizedDescription + "]";
      return report(what, words);
    }
    if (error.domain == FRXErrorDomain && error.code == FRXConnectionErrorHostKeyMismatch && sftp_.knownHostsPath() &&
        !sftp_.hostKeyFingerprint()) {
      // As OpenSSH says it: which key came, where the other one is, and how to remove it.
      const std::string name =
          settings_.port == 22 ? settings_.hostName : "[" + settings_.hostName + "]:" + std::to_string(settings_.port);
      const std::string& file = *sftp_.knownHostsPath();
      const int line = knownHostsLine(file, name);
      std::fprintf(stderr,
                   "ferrix: connect to %s: the host key of %s has changed (someone could be intercepting the "
                   "connection, or the key was replaced)\n"
                   "ferrix: the server now offers %s; %s%s holds another key for it\n"
                   "ferrix: if the change is expected, remove the old key with: ssh-keygen -R '%s' -f '%s'\n",
                   printable(settings_.host).c_str(), printable(name).c_str(),
                   sftp_.serverHostKeyFingerprint().c_str(), printable(file).c_str(),
                   line > 0 ? (" line " + std::to_string(line)).c_str() : "", printable(name).c_str(),
                   printable(file).c_str());
      return 1;
    }
    if (error.domain == FRXErrorDomain && error.code == FRXConnectionErrorHostKeyUnknown) {
      std::fprintf(stderr, "ferrix: connect to %s: %s is not a known host (its key is %s; StrictHostKeyChecking is "
                           "yes)\n", printable(settings_.host).c_str(), printable(settings_.hostName).c_str(),
                   sftp_.serverHostKeyFingerprint().c_str());
      return 1;
    }
    if (error.domain == FRXErrorDomain && error.localizedDescription.rfind("Server rejected key", 0) == 0) {
      return report(what, inWords(error).substr(0, inWords(error).size() - 1) + " " + *sftp_.privateKeyPath() + ")" +
                              (verbose() ? " [" + error.domain + " " + std::to_string(error.code) + ": " +
                                               error.localizedDescription + "]"
                                         : ""));
    }
    return report(what, error);
  }

  const Options& options_;
  const FRXSSHHostSettings& settings_;
  FRXSFTP& sftp_;
  const std::vector<std::string> spareKeys_;
  std::optional<Proxy> proxy_;
};

std::optional<FRXSSHHostSettings> resolve(const Options& options) {
  FRXSSHConfig config;
  if (options.configFile) config.setConfigFile(*options.configFile);
  // The command line's own words come first, so they win as ssh's flags do.
  std::vector<std::string> lines;
  if (options.user) lines.push_back("User=" + *options.user);
  if (options.port) lines.push_back("Port=" + std::to_string(*options.port));
  if (options.keyFile) lines.push_back("IdentityFile=\"" + *options.keyFile + "\"");
  if (options.knownHosts) lines.push_back("UserKnownHostsFile=\"" + *options.knownHosts + "\"");
  lines.insert(lines.end(), options.sshOptions.begin(), options.sshOptions.end());
  for (const std::string& line : lines) {
    FRXError error;
    if (!config.addOption(line, &error)) {
      usageError(error.localizedDescription);
      return std::nullopt;
    }
  }
  FRXError error;
  auto settings = config.settingsForHost(options.host, &error);
  if (!settings) report("configuration", error.localizedDescription);
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int exitStatus = 1;
  if (!parse(argc, argv, options, exitStatus)) return exitStatus;
  setVerbose(options.verbose);
  FRXSetLogFileDescriptor(options.verbose ? STDERR_FILENO : -1);
  const auto settings = resolve(options);
  if (!settings) return 1;

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A proxy that dies must fail the connection, not end the command.
  signal(SIGPIPE, SIG_IGN);

  Progress progress(isatty(STDERR_FILENO) != 0, options.quiet);  // outlives the connection that points at it
  std::optional<FRXSFTP> sftp;
  std::vector<std::string> spareKeys;
  if (options.passwordVariable) {
    const auto password = fromEnvironment(*options.passwordVariable);
    if (!password) return 1;
    sftp.emplace(settings->hostName, settings->user, FRXPassword(*password));
  } else {
    // The identity files that exist, in order (the first one named when none does);
    // ~/.ssh/id_ed25519 when none was named.
    std::vector<std::string> candidates = settings->identityFiles;
    if (candidates.empty()) candidates.push_back("~/.ssh/id_ed25519");
    std::error_code ignored;
    for (const std::string& candidate : candidates) {
      if (std::filesystem::exists(candidate, ignored)) spareKeys.push_back(candidate);
    }
    if (spareKeys.empty()) spareKeys.push_back(candidates.front());
    const std::string key = spareKeys.front();
    spareKeys.erase(spareKeys.begin());
    std::optional<std::string> publicKey;
    if (std::filesystem::exists(key + ".pub", ignored)) publicKey = key + ".pub";
    sftp.emplace(settings->hostName, settings->user, key, publicKey);
    // The agent comes first unless a key file was named; the default key file still follows it.
    const char* agent = std::getenv("SSH_AUTH_SOCK");
    sftp->setUsesAgent(!options.keyFile && !settings->identitiesOnly && agent != nullptr && *agent != '\0');
    if (options.passphraseVariable) {
      const auto passphrase = fromEnvironment(*options.passphraseVariable);
      if (!passphrase) return 1;
      sftp->setPassphrase(*passphrase);
    }
  }
  sftp->setAllowsKeyboardInteractive(true);
  sftp->setPort(settings->port);
  sftp->setTimeout(options.timeout.value_or(settings->connectTimeout ? *settings->connectTimeout : 30));
  if (settings->serverAliveInterval) sftp->setServerAliveInterval(*settings->serverAliveInterval);
  if (settings->serverAliveCountMax) sftp->setServerAliveCountMax(*settings->serverAliveCountMax);
  sftp->setPipelined(!options.stopAndWait);
  sftp->setStreams(options.streams);
  sftp->setStreamThreshold(kStreamThreshold);
  if (!options.insecureHostKey) {
    sftp->setHostKeyFingerprint(options.fingerprint);
    if ((!options.fingerprint || options.knownHosts) && !settings->userKnownHostsFiles.empty()) {
      sftp->setKnownHostsPath(settings->userKnownHostsFiles.front());
      const auto strict = settings->strictHostKeyChecking.value_or(FRXStrictHostKeyChecking::AcceptNew);
      sftp->setAcceptsNewHostKeys(strict == FRXStrictHostKeyChecking::AcceptNew || strict == FRXStrictHostKeyChecking::No);
    }
  }
  sftp->setDelegate(&progress);

  int status = 0;
  {
    Connector connector(options, *settings, *sftp, spareKeys);
    status = connector.connect();
    if (status == 0) {
      Session session(*sftp, progress, options.preserve, options.remoteDirectory);
      for (const Command& command : options.commands) {
        if (session.run(command) != 0 && !command.ignoreErrors) {
          status = 1;
          break;
        }
      }
    }
    sftp->disconnect();
  }
  return status;
}
