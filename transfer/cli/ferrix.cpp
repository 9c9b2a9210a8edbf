// ferrix: a small SFTP command over the Ferrix library.
//   ferrix [options] USER@HOST COMMAND ARGS
#include <Ferrix/Ferrix.h>

#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: ferrix [options] USER@HOST COMMAND ARGS\n"
    "\n"
    "Commands:\n"
    "  ls [--json] PATH                list a remote directory\n"
    "  stat [--json] PATH              show a remote item's permissions and size\n"
    "  rm PATH                         remove a remote file\n"
    "  rmdir PATH                      remove a remote directory and what it holds\n"
    "                                  (hidden entries and links stop the removal)\n"
    "  mkdir [-p] PATH                 create a remote directory (-p: and its parents)\n"
    "  put [--resume] LOCAL REMOTE     upload a file (--resume: continue a partial upload)\n"
    "  put -r LOCALDIR REMOTEDIR       upload a directory tree\n"
    "  get [--resume] REMOTE LOCAL     download a file (--resume: continue a partial download)\n"
    "  get -r REMOTEDIR LOCALDIR       download a directory tree (regular files and directories)\n"
    "\n"
    "Options:\n"
    "  -P PORT                     server port (default 22)\n"
    "  -i KEYFILE                  log in with this private key (KEYFILE.pub is used when present)\n"
    "  --password-env VAR          log in with the password held in environment variable VAR\n"
    "  --passphrase-env VAR        the passphrase of the key file, from environment variable VAR\n"
    "  --known-hosts FILE          the known-hosts file (default ~/.ssh/known_hosts)\n"
    "  --fingerprint SHA256:...    accept only the host key with this fingerprint\n"
    "  --insecure-host-key         accept ANY host key (no protection against interception)\n"
    "  --timeout SECONDS           longest wait for the server, connecting included (default 30)\n"
    "  --stop-and-wait             one 16 KiB request at a time instead of many in flight\n"
    "  -v                          also show the library's log lines\n"
    "  -h, --help                  show this help\n"
    "\n"
    "Login: with --password-env the password (keyboard-interactive too, when that is what the\n"
    "server offers); with -i that key; otherwise the ssh-agent's keys when SSH_AUTH_SOCK is set,\n"
    "then ~/.ssh/id_ed25519. On a terminal a passphrase or password that is needed and not given\n"
    "is asked for without echo.\n"
    "Host keys: a host missing from the known-hosts file is added to it (and said so on standard\n"
    "error); a changed or revoked key is refused.\n"
    "Exit status: 0 on success, 1 otherwise (the error is printed on standard error), 130 after\n"
    "SIGINT and 143 after SIGTERM (a download in progress leaves no file behind).\n";

struct Options {
  std::int32_t port = 22;
  std::optional<std::string> keyFile;
  std::optional<std::string> passwordVariable;
  std::optional<std::string> passphraseVariable;
  std::optional<std::string> knownHosts;
  std::optional<std::string> fingerprint;
  bool insecureHostKey = false;
  double timeout = 30;
  bool stopAndWait = false;
  bool verbose = false;
  std::string user;
  std::string host;
  std::string command;
  std::vector<std::string> arguments;
};

// Text that came from the server, made safe for a terminal: control characters and backslashes
// are written as escapes, so no escape sequence of the server's reaches the user's terminal.
std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A name from a remote listing that may name something local: one plain path component.
bool isSafeLocalName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// Signals: a download in progress is cancelled (its temporary file goes away) and the command
// exits after it; at any other moment nothing local is half-made and the command exits at once.
std::atomic<FRXSFTP*> transferring{nullptr};
volatile sig_atomic_t caughtSignal = 0;
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

// Shows the progress of a transfer: a redrawn bar on a terminal, plain lines every 10% otherwise.
class ProgressDelegate final : public FRXObject,
                               public FRXConnectionDelegateProtocol,
                               public FRXConnectionSpeedDelegateProtocol {
public:
  void begin(std::string label) {
    label_ = std::move(label);
    speed_.clear();
    lastShown_ = -1;
    drawn_ = false;
  }
  void end() {
    if (drawn_ && terminal_) std::fputc('\n', stderr);
    drawn_ = false;
  }

  void connectionDidFailOperationWithError(FRXConnection&, const FRXError*) override {}
  void connectionDidCompleteOperation(FRXConnection&) override {}
  void connectionDidUpdateProgress(FRXConnection&, double progress) override {
    if (label_.empty()) return;
    const double shown = std::min(progress, 100.0);
    if (terminal_) {
      const int tenth = static_cast<int>(shown * 10);
      if (tenth == lastShown_) return;
      lastShown_ = tenth;
      constexpr int kWidth = 30;
      const int filled = static_cast<int>(shown * kWidth / 100);
      std::string bar(static_cast<std::size_t>(filled), '#');
      bar.append(static_cast<std::size_t>(kWidth - filled), ' ');
      std::fprintf(stderr, "\r%s [%s] %5.1f%%  %-14s", label_.c_str(), bar.c_str(), shown, speed_.c_str());
      drawn_ = true;
    } else {
      const int step = static_cast<int>(shown / 10);
      if (step == lastShown_) return;
      lastShown_ = step;
      std::fprintf(stderr, "%s %d%% %s\n", label_.c_str(), step * 10, speed_.c_str());
    }
    std::fflush(stderr);
  }
  void connectionDidUpdateTransferSpeed(FRXConnection&, const std::string& speed) override { speed_ = speed; }

private:
  const bool terminal_ = isatty(STDERR_FILENO) != 0;
  std::string label_;
  std::string speed_;
  int lastShown_ = -1;
  bool drawn_ = false;
};

int failWith(const std::string& what, const FRXError& error) {
  if (error.domain.empty()) {
    std::fprintf(stderr, "ferrix: %s failed (no error was reported)\n", what.c_str());
  } else {
    std::string message = error.localizedDescription;
    while (!message.empty() && message.back() == '\n') message.pop_back();
    const std::string reason = error.reason();
    std::fprintf(stderr, "ferrix: %s failed: %s %ld: %s%s\n", printable(what).c_str(), error.domain.c_str(), error.code,
                 printable(message).c_str(), reason.empty() ? "" : (" (" + reason + ")").c_str());
  }
  return 1;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "ferrix: %s\n%s", message.c_str(), kUsage);
  return 1;
}

std::string modeString(std::uint64_t permissions) {
  char type = '?';
  switch (permissions & 0xF000) {
    case 0x8000: type = '-'; break;
    case 0x4000: type = 'd'; break;
    case 0xA000: type = 'l'; break;
    case 0x2000: type = 'c'; break;
    case 0x6000: type = 'b'; break;
    case 0x1000: type = 'p'; break;
    case 0xC000: type = 's'; break;
    default: break;
  }
  std::string text(1, type);
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (permissions & (0400u >> bit)) != 0 ? letters[bit] : '-';
  return text;
}

// The library never creates a path's first component; "./" makes a relative name its second.
std::string anchoredRemotePath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.rfind("./", 0) == 0 || path.rfind("../", 0) == 0) return path;
  return "./" + path;
}

bool parse(int argc, char** argv, Options& options, int& exitStatus) {
  int i = 1;
  auto value = [&](const std::string& flag) -> std::optional<std::string> {
    if (i + 1 >= argc) {
      exitStatus = usageError(flag + " needs a value");
      return std::nullopt;
    }
    return std::string(argv[++i]);
  };
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      exitStatus = 0;
      return false;
    }
    if (arg.empty() || arg.front() != '-') break;
    std::optional<std::string> given;
    if (arg == "-P") {
      if (!(given = value(arg))) return false;
      char* end = nullptr;
      const long port = std::strtol(given->c_str(), &end, 10);
      if (end == given->c_str() || *end != '\0' || port < 0 || port > INT32_MAX) {
        exitStatus = usageError("bad port: " + *given);
        return false;
      }
      options.port = static_cast<std::int32_t>(port);
    } else if (arg == "-i") {
      if (!(options.keyFile = value(arg))) return false;
    } else if (arg == "--password-env") {
      if (!(options.passwordVariable = value(arg))) return false;
    } else if (arg == "--passphrase-env") {
      if (!(options.passphraseVariable = value(arg))) return false;
    } else if (arg == "--insecure-host-key") {
      options.insecureHostKey = true;
    } else if (arg == "--stop-and-wait") {
      options.stopAndWait = true;
    } else if (arg == "-v") {
      options.verbose = true;
    } else if (arg == "--timeout") {
      if (!(given = value(arg))) return false;
      char* end = nullptr;
      const double seconds = std::strtod(given->c_str(), &end);
      if (end == given->c_str() || *end != '\0' || !(seconds >= 0) || seconds > 1e6) {
        exitStatus = usageError("bad timeout: " + *given);
        return false;
      }
      options.timeout = seconds;
    } else if (arg == "--known-hosts") {
      if (!(options.knownHosts = value(arg))) return false;
    } else if (arg == "--fingerprint") {
      if (!(options.fingerprint = value(arg))) return false;
    } else {
      exitStatus = usageError("unknown option " + arg);
      return false;
    }
  }
  if (argc - i < 2) {
    exitStatus = usageError("USER@HOST and COMMAND are required");
    return false;
  }
  const std::string target = argv[i++];
  const std::size_t at = target.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == target.size()) {
    exitStatus = usageError("expected USER@HOST, got " + target);
    return false;
  }
  options.user = target.substr(0, at);
  options.host = target.substr(at + 1);
  options.command = argv[i++];
  for (; i < argc; ++i) options.arguments.emplace_back(argv[i]);
  return true;
}

class Session {
public:
  explicit Session(FRXSFTP& sftp, ProgressDelegate& progress) : sftp_(sftp), progress_(progress) {}

  int list(const std::string& path, bool json) {
    FRXError error;
    const auto entries = sftp_.contentsOfDirectoryAtPath(path, &error);
    if (!error.domain.empty()) return failWith("ls " + path, error);
    if (json) std::fputs("[", stdout);
    bool first = true;
    for (const FRXSFTPRecord& entry : entries) {
      if (json) {
        std::printf("%s\n  %s", first ? "" : ",", recordJson(entry).c_str());
        first = false;
      } else {
        std::printf("%s %12lld %s\n", modeString(entry.permissions).c_str(), static_cast<long long>(entry.size),
                    printable(entry.name).c_str());
      }
    }
    if (json) std::fputs("\n]\n", stdout);
    return 0;
  }

  int status(const std::string& path, bool json) {
    FRXError error;
    const auto record = sftp_.attributesOfItemAtPath(path, &error);
    if (!record) return failWith("stat " + path, error);
    if (json) {
      std::printf("%s\n", recordJson(*record).c_str());
    } else {
      std::printf("name: %s\npermissions: %06llo (%s)\nsize: %lld\n", printable(record->name).c_str(),
                  static_cast<unsigned long long>(record->permissions), modeString(record->permissions).c_str(),
                  static_cast<long long>(record->size));
    }
    return 0;
  }

  int removeFile(const std::string& path) {
    FRXError error;
    return sftp_.removeItemAtPath(path, &error) ? 0 : failWith("rm " + path, error);
  }

  int removeDirectory(const std::string& path) {
    FRXError error;
    return sftp_.removeDirectoryAtPath(path, &error) ? 0 : failWith("rmdir " + path, error);
  }

  int makeDirectory(const std::string& path, bool parents) {
    FRXError error;
    return sftp_.createDirectoryAtPath(anchoredRemotePath(path), parents, &error) ? 0 : failWith("mkdir " + path, error);
  }

  int upload(const std::string& local, const std::string& remote, bool resume = false) {
    FRXError error;
    progress_.begin("put " + local);
    const bool done = resume ? sftp_.resumeItemAtPath(local, remote, &error) : sftp_.copyItemAtPath(local, remote, &error);
    progress_.end();
    return done ? 0 : failWith("put " + local, error);
  }

  int uploadTree(const std::string& localDirectory, const std::string& remoteDirectory) {
    std::error_code walkError;
    if (!std::filesystem::is_directory(localDirectory, walkError)) {
      std::fprintf(stderr, "ferrix: put -r: %s is not a directory\n", localDirectory.c_str());
      return 1;
    }
    if (int status = makeDirectory(remoteDirectory, true); status != 0) return status;
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
          return failWith("mkdir " + remote, error);
        }
      } else if (type == std::filesystem::file_type::regular) {
        if (int status = upload(walk->path().string(), remote); status != 0) return status;
      } else {
        std::fprintf(stderr, "ferrix: skipping %s (not a regular file or directory)\n", walk->path().c_str());
      }
    }
    if (walkError) {
      std::fprintf(stderr, "ferrix: put -r: %s: %s\n", localDirectory.c_str(), walkError.message().c_str());
      return 1;
    }
    return 0;
  }

  int download(const std::string& remote, const std::string& local, bool resume = false) {
    FRXError error;
    progress_.begin("get " + printable(remote));
    transferring.store(&sftp_);
    const bool done =
        resume ? sftp_.resumeItemAtRemotePath(remote, local, &error) : sftp_.copyItemAtRemotePath(remote, local, &error);
    transferring.store(nullptr);
    progress_.end();
    if (caughtSignal != 0) std::_Exit(128 + caughtSignal);
    return done ? 0 : failWith("get " + remote, error);
  }

  // Every name comes from the server: each must be one plain component before it names anything
  // below the local directory, and links, devices and the like are passed over.
  int downloadTree(const std::string& remoteDirectory, const std::string& localDirectory, int depth = 0) {
    constexpr int kMaxDepth = 64;
    if (depth > kMaxDepth) {
      std::fprintf(stderr, "ferrix: get -r: %s is nested too deeply\n", printable(remoteDirectory).c_str());
      return 1;
    }
    FRXError error;
    const auto entries = sftp_.contentsOfDirectoryAtPath(remoteDirectory, &error);
    if (!error.domain.empty()) return failWith("ls " + remoteDirectory, error);
    std::error_code made;
    std::filesystem::create_directory(localDirectory, made);
    if (made) {
      std::fprintf(stderr, "ferrix: get -r: cannot create %s: %s\n", localDirectory.c_str(), made.message().c_str());
      return 1;
    }
    for (const FRXSFTPRecord& entry : entries) {
      if (entry.name == "." || entry.name == "..") continue;
      if (!isSafeLocalName(entry.name)) {
        std::fprintf(stderr, "ferrix: get -r: refusing the name %s sent by the server\n", printable(entry.name).c_str());
        continue;
      }
      const std::string remote = remoteDirectory + "/" + entry.name;
      const std::string local = localDirectory + "/" + entry.name;
      const std::uint64_t type = entry.permissions & 0xF000;
      int status = 0;
      if (type == 0x4000) {
        status = downloadTree(remote, local, depth + 1);
      } else if (type == 0x8000) {
        status = download(remote, local);
      } else {
        std::fprintf(stderr, "ferrix: skipping %s (not a regular file or directory)\n", printable(remote).c_str());
      }
      if (status != 0) return status;
    }
    return 0;
  }

private:
  static std::string recordJson(const FRXSFTPRecord& record) {
    return "{\"name\": " + jsonString(record.name) + ", \"permissions\": " + std::to_string(record.permissions) +
           ", \"mode\": \"" + modeString(record.permissions) + "\", \"size\": " + std::to_string(record.size) + "}";
  }

  FRXSFTP& sftp_;
  ProgressDelegate& progress_;
};

int run(const Options& options, FRXSFTP& sftp, ProgressDelegate& progress) {
  Session session(sftp, progress);
  const auto& args = options.arguments;
  const std::string& command = options.command;
  const bool flagged = args.size() >= 2;
  if (command == "ls" && args.size() == 1) return session.list(args[0], false);
  if (command == "ls" && args.size() == 2 && args[0] == "--json") return session.list(args[1], true);
  if (command == "stat" && args.size() == 1) return session.status(args[0], false);
  if (command == "stat" && args.size() == 2 && args[0] == "--json") return session.status(args[1], true);
  if (command == "rm" && args.size() == 1) return session.removeFile(args[0]);
  if (command == "rmdir" && args.size() == 1) return session.removeDirectory(args[0]);
  if (command == "mkdir" && args.size() == 1) return session.makeDirectory(args[0], false);
  if (command == "mkdir" && args.size() == 2 && args[0] == "-p") return session.makeDirectory(args[1], true);
  if (command == "put" && args.size() == 2) return session.upload(args[0], args[1]);
  if (command == "put" && flagged && args.size() == 3 && args[0] == "--resume") return session.upload(args[1], args[2], true);
  if (command == "put" && args.size() == 3 && args[0] == "-r") return session.uploadTree(args[1], args[2]);
  if (command == "get" && args.size() == 2) return session.download(args[0], args[1]);
  if (command == "get" && args.size() == 3 && args[0] == "--resume") return session.download(args[1], args[2], true);
  if (command == "get" && args.size() == 3 && args[0] == "-r") return session.downloadTree(args[1], args[2]);
  return usageError("bad command or arguments: " + command);
}

std::optional<std::string> fromEnvironment(const std::string& variable) {
  const char* value = std::getenv(variable.c_str());
  if (value == nullptr) {
    std::fprintf(stderr, "ferrix: environment variable %s is not set\n", variable.c_str());
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int exitStatus = 1;
  if (!parse(argc, argv, options, exitStatus)) return exitStatus;
  FRXSetLogFileDescriptor(options.verbose ? STDERR_FILENO : -1);

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  ProgressDelegate progress;  // outlives the connection that points at it
  std::optional<FRXSFTP> sftp;
  if (options.passwordVariable) {
    const auto password = fromEnvironment(*options.passwordVariable);
    if (!password) return 1;
    sftp.emplace(options.host, options.user, FRXPassword(*password));
  } else {
    const std::string key = options.keyFile.value_or("~/.ssh/id_ed25519");
    std::optional<std::string> publicKey;
    std::error_code ignored;
    if (std::filesystem::exists(key + ".pub", ignored)) publicKey = key + ".pub";
    sftp.emplace(options.host, options.user, key, publicKey);
    // The agent comes first unless a key file was named; the default key file still follows it.
    const char* agent = std::getenv("SSH_AUTH_SOCK");
    sftp->setUsesAgent(!options.keyFile && agent != nullptr && *agent != '\0');
    if (options.passphraseVariable) {
      const auto passphrase = fromEnvironment(*options.passphraseVariable);
      if (!passphrase) return 1;
      sftp->setPassphrase(*passphrase);
    }
  }
  sftp->setAllowsKeyboardInteractive(true);
  sftp->setPort(options.port);
  sftp->setTimeout(options.timeout);
  sftp->setPipelined(!options.stopAndWait);
  if (!options.insecureHostKey) {
    sftp->setHostKeyFingerprint(options.fingerprint);
    if (!options.fingerprint || options.knownHosts) {
      sftp->setKnownHostsPath(options.knownHosts.value_or("~/.ssh/known_hosts"));
      sftp->setAcceptsNewHostKeys(true);
    }
  }
  sftp->setDelegate(&progress);

  FRXError error;
  bool connected = sftp->connectWithError(&error);
  if (!connected && isatty(STDIN_FILENO) != 0 && error.domain == FRXErrorDomain) {
    // On a terminal, a credential that is missing is asked for once: the key's passphrase, or a
    // password when no credential was named at all.
    std::optional<std::string> asked;
    if (!options.passwordVariable && !options.passphraseVariable && error.code == FRXConnectionErrorFailed) {
      if (options.keyFile) {
        asked = askWithoutEcho("Passphrase for " + *options.keyFile + ": ");
        if (asked) sftp->setPassphrase(*asked);
      } else {
        asked = askWithoutEcho(options.user + "@" + options.host + "'s password: ");
        if (asked) sftp->setPassword(*asked);
      }
    }
    if (asked) {
      sftp->disconnect();
      connected = sftp->connectWithError(&error);
    }
  }
  if (!connected) return failWith("connect to " + options.host, error);
  if (sftp->hostKeyOutcome() == FRXHostKeyOutcome::Added) {
    std::fprintf(stderr, "ferrix: added %s to the known hosts (%s)\n", sftp->serverHostKeyFingerprint().c_str(),
                 sftp->knownHostsPath()->c_str());
  }
  const int status = run(options, *sftp, progress);
  sftp->disconnect();
  return status;
}
