// ferrix: a small SFTP command over the Ferrix library.
//   ferrix [-P PORT] [-i KEYFILE] [--password-env VAR] USER@HOST COMMAND ARGS
#include <Ferrix/Ferrix.h>

#include <sys/stat.h>
#include <unistd.h>

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
    "  ls PATH                     list a remote directory\n"
    "  stat PATH                   show a remote item's permissions and size\n"
    "  rm PATH                     remove a remote file\n"
    "  rmdir PATH                  remove a remote directory and what it holds\n"
    "                              (hidden entries and links stop the removal)\n"
    "  mkdir [-p] PATH             create a remote directory (-p: and its parents)\n"
    "  put LOCAL REMOTE            upload a file\n"
    "  put -r LOCALDIR REMOTEDIR   upload a directory tree\n"
    "  get REMOTE LOCAL            download a file\n"
    "\n"
    "Options:\n"
    "  -P PORT                     server port (default 22)\n"
    "  -i KEYFILE                  log in with this private key (KEYFILE.pub is used when present)\n"
    "  --password-env VAR          log in with the password held in environment variable VAR\n"
    "  --known-hosts FILE          accept only a host key listed in this known-hosts file\n"
    "  --fingerprint SHA256:...    accept only the host key with this fingerprint\n"
    "  -h, --help                  show this help\n"
    "\n"
    "Without -i or --password-env the key ~/.ssh/id_ed25519 is used.\n"
    "Without --known-hosts or --fingerprint ANY host key is accepted.\n"
    "Exit status: 0 on success, 1 otherwise (the error is printed on standard error).\n";

struct Options {
  std::int32_t port = 22;
  std::optional<std::string> keyFile;
  std::optional<std::string> passwordVariable;
  std::optional<std::string> knownHosts;
  std::optional<std::string> fingerprint;
  std::string user;
  std::string host;
  std::string command;
  std::vector<std::string> arguments;
};

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
    std::fprintf(stderr, "ferrix: %s failed: %s %ld: %s\n", what.c_str(), error.domain.c_str(), error.code,
                 message.c_str());
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

  int list(const std::string& path) {
    FRXError error;
    const auto entries = sftp_.contentsOfDirectoryAtPath(path, &error);
    if (!error.domain.empty()) return failWith("ls " + path, error);
    for (const FRXSFTPRecord& entry : entries) {
      std::printf("%s %12lld %s\n", modeString(entry.permissions).c_str(), static_cast<long long>(entry.size),
                  entry.name.c_str());
    }
    return 0;
  }

  int status(const std::string& path) {
    FRXError error;
    const auto record = sftp_.attributesOfItemAtPath(path, &error);
    if (!record) return failWith("stat " + path, error);
    std::printf("name: %s\npermissions: %06llo (%s)\nsize: %lld\n", record->name.c_str(),
                static_cast<unsigned long long>(record->permissions), modeString(record->permissions).c_str(),
                static_cast<long long>(record->size));
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

  int upload(const std::string& local, const std::string& remote) {
    FRXError error;
    progress_.begin("put " + local);
    const bool done = sftp_.copyItemAtPath(local, remote, &error);
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

  int download(const std::string& remote, const std::string& local) {
    FRXError error;
    progress_.begin("get " + remote);
    const bool done = sftp_.copyItemAtRemotePath(remote, local, &error);
    progress_.end();
    return done ? 0 : failWith("get " + remote, error);
  }

private:
  FRXSFTP& sftp_;
  ProgressDelegate& progress_;
};

int run(const Options& options, FRXSFTP& sftp, ProgressDelegate& progress) {
  Session session(sftp, progress);
  const auto& args = options.arguments;
  const std::string& command = options.command;
  if (command == "ls" && args.size() == 1) return session.list(args[0]);
  if (command == "stat" && args.size() == 1) return session.status(args[0]);
  if (command == "rm" && args.size() == 1) return session.removeFile(args[0]);
  if (command == "rmdir" && args.size() == 1) return session.removeDirectory(args[0]);
  if (command == "mkdir" && args.size() == 1) return session.makeDirectory(args[0], false);
  if (command == "mkdir" && args.size() == 2 && args[0] == "-p") return session.makeDirectory(args[1], true);
  if (command == "put" && args.size() == 2) return session.upload(args[0], args[1]);
  if (command == "put" && args.size() == 3 && args[0] == "-r") return session.uploadTree(args[1], args[2]);
  if (command == "get" && args.size() == 2) return session.download(args[0], args[1]);
  return usageError("bad command or arguments: " + command);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int exitStatus = 1;
  if (!parse(argc, argv, options, exitStatus)) return exitStatus;

  ProgressDelegate progress;  // outlives the connection that points at it
  std::optional<FRXSFTP> sftp;
  if (options.passwordVariable) {
    const char* password = std::getenv(options.passwordVariable->c_str());
    if (password == nullptr) {
      std::fprintf(stderr, "ferrix: environment variable %s is not set\n", options.passwordVariable->c_str());
      return 1;
    }
    sftp.emplace(options.host, options.user, password);
  } else {
    const std::string key = options.keyFile.value_or("~/.ssh/id_ed25519");
    std::optional<std::string> publicKey;
    std::error_code ignored;
    if (std::filesystem::exists(key + ".pub", ignored)) publicKey = key + ".pub";
    sftp.emplace(options.host, options.user, key, publicKey);
  }
  sftp->setPort(options.port);
  sftp->setKnownHostsPath(options.knownHosts);
  sftp->setHostKeyFingerprint(options.fingerprint);
  sftp->setDelegate(&progress);

  FRXError error;
  if (!sftp->connectWithError(&error)) return failWith("connect to " + options.host, error);
  const int status = run(options, *sftp, progress);
  sftp->disconnect();
  return status;
}
