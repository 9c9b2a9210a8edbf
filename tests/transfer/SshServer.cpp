#include "SshServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>
#include <thread>
#include <vector>

namespace {

constexpr const char* kTestUser = "ferrixtest";
constexpr const char* kSshd = "/usr/sbin/sshd";
// The test user is shared by every test process on the machine (ctest -j, other checkouts), so its
// password is too: made once, kept root-only, set on the account under kSetupLock. Each process
// holds a shared lock on kPasswordFile while it runs; the one that finds itself alone at exit (under
// kSetupLock, so that no process is starting meanwhile) takes the password off the account.
constexpr const char* kSetupLock = "/run/ferrixtest.lock";
constexpr const char* kPasswordFile = "/run/ferrixtest.password";
constexpr std::size_t kPasswordHexBytes = 12;
constexpr int kLaunchAttempts = 5;
constexpr auto kStartTimeout = std::chrono::seconds(15);

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool writeFile(const std::string& path, const std::string& text, mode_t mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) return false;
  }
  return chmod(path.c_str(), mode) == 0;
}

// A TCP port that is free on 127.0.0.1 (and on ::1 when `ipv6`) at the moment of asking.
int freePort(bool ipv6) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    close(fd);
    if (port == 0) continue;
    if (!ipv6) return port;
    int fd6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    address6.sin6_port = htons(static_cast<std::uint16_t>(port));
    const bool free6 = bind(fd6, reinterpret_cast<sockaddr*>(&address6), sizeof address6) == 0;
    close(fd6);
    if (free6) return port;
  }
  return 0;
}

bool loopbackIPv6Works() {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool works = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return works;
}

bool accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

std::string randomHex(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  std::ifstream random("/dev/urandom", std::ios::binary);
  random.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
  std::string text;
  char pair[3];
  for (unsigned char byte : raw) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

// Holds kSetupLock while it lives.
class SetupLock {
public:
  SetupLock() : fd_(open(kSetupLock, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~SetupLock() {
    if (fd_ >= 0) close(fd_);
  }
  SetupLock(const SetupLock&) = delete;
  SetupLock& operator=(const SetupLock&) = delete;
  [[nodiscard]] bool held() const { return fd_ >= 0; }

private:
  int fd_;
};

// The machine's test password (made now when there is none or it was cut short), with the file
// left open in `fd`. Only under SetupLock.
std::optional<std::string> sharedPassword(int& fd) {
  fd = open(kPasswordFile, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 && errno == EEXIST) fd = open(kPasswordFile, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  char buffer[64] = {};
  const ssize_t length = pread(fd, buffer, sizeof buffer - 1, 0);
  std::string password = length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : "";
  if (password.size() != 4 + 2 * kPasswordHexBytes || password.rfind("Frx-", 0) != 0) {
    password = "Frx-" + randomHex(kPasswordHexBytes);
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, password.data(), password.size(), 0) != static_cast<ssize_t>(password.size())) {
      close(fd);
      fd = -1;
      return std::nullopt;
    }
  }
  return password;
}

}  // namespace

int runProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& input,
               std::string* output, std::string* errors) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return -1;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return -1;
  }
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  // Standard error goes to a file, so a chatty program can't block on one pipe while we read the other.
  char errorPath[] = "/tmp/ferrix-stderr-XXXXXX";
  int errorFd = mkostemp(errorPath, O_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    if (errorFd >= 0) dup2(errorFd, STDERR_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (!input.empty()) {
    ssize_t ignored = write(in[1], input.data(), input.size());
    (void)ignored;
  }
  close(in[1]);
  std::string collected;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) collected.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  if (output != nullptr) *output = collected;
  if (errorFd >= 0) {
    close(errorFd);
    if (errors != nullptr) *errors = readFile(errorPath);
    unlink(errorPath);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SshServer& SshServer::shared() {
  static SshServer server;
  static const bool started = [] {
    std::string why;
    if (!server.start(why)) {
      std::fprintf(stderr, "SshServer: could not start sshd: %s\n%s", why.c_str(), server.logText().c_str());
      std::abort();
    }
    return true;
  }();
  (void)started;
  return server;
}

SshServer::~SshServer() { stop(); }

bool SshServer::start(std::string& why) {
  char pattern[] = "/tmp/ferrix-sshd-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    why = "mkdtemp failed";
    return false;
  }
  directory_ = pattern;
  chmod(directory_.c_str(), 0755);
  mkdir((directory_ + "/local").c_str(), 0755);
  mkdir((directory_ + "/remote").c_str(), 0755);

  for (const char* key : {"host_ed25519", "client_ed25519", "stranger_ed25519"}) {
    if (runProgram("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-C", key, "-f", directory_ + "/" + key}) != 0) {
      why = std::string("ssh-keygen failed for ") + key;
      return false;
    }
  }
  if (runProgram("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", passphrase(), "-C", "passphrase", "-f",
                                         passphraseKeyPath()}) != 0) {
    why = "ssh-keygen failed for the passphrase key";
    return false;
  }
  if (!writeFile(directory_ + "/authorized_keys", readFile(publicKeyPath()) + readFile(passphraseKeyPath() + ".pub"),
                 0644)) {
    why = "cannot write authorized_keys";
    return false;
  }
  std::string listing;
  runProgram("/usr/bin/ssh-keygen", {"-l", "-E", "sha256", "-f", directory_ + "/host_ed25519.pub"}, "", &listing);
  std::istringstream fields(listing);
  std::string bits;
  fields >> bits >> fingerprint_;
  std::istringstream hostKey(readFile(directory_ + "/host_ed25519.pub"));
  std::string type;
  std::string body;
  hostKey >> type >> body;
  hostKeyLine_ = type + " " + body;
  if (fingerprint_.rfind("SHA256:", 0) != 0 || body.empty()) {
    why = "cannot read the host key";
    return false;
  }

  if (!prepareUser(why)) return false;
  giveToUser(directory_ + "/remote");
  return launch(why);
}

bool SshServer::prepareUser(std::string& why) {
  if (geteuid() != 0) {
    const passwd* self = getpwuid(geteuid());
    if (self == nullptr) {
      why = "no password database entry for the current user";
      return false;
    }
    user_ = self->pw_name;
    uid_ = self->pw_uid;
    gid_ = self->pw_gid;
    return true;
  }
  user_ = kTestUser;
  if (getpwnam(kTestUser) == nullptr) {
    // No home and no shell: the account exists only to log in to the test server's SFTP.
    if (runProgram("/usr/sbin/useradd", {"-M", "-d", "/nonexistent", "-s", "/usr/sbin/nologin", "-c",
                                         "Ferrix test user", kTestUser}) != 0) {
      why = "useradd failed";
      return false;
    }
    createdUser_ = true;
  }
  const SetupLock setup;
  if (!setup.held()) {
    why = std::string("cannot open ") + kSetupLock + ": " + std::strerror(errno);
    return false;
  }
  password_ = sharedPassword(passwordFd_);
  if (!password_) {
    why = std::string("cannot keep the test password in ") + kPasswordFile + ": " + std::strerror(errno);
    return false;
  }
  // Setting the same password again breaks no process that logs in with it meanwhile.
  if (runProgram("/usr/sbin/chpasswd", {}, user_ + ":" + *password_ + "\n") != 0 ||
      flock(passwordFd_, LOCK_SH) != 0) {
    why = "chpasswd failed";
    return false;
  }
  const passwd* entry = getpwnam(kTestUser);
  if (entry == nullptr) {
    why = "test user missing after useradd";
    return false;
  }
  uid_ = entry->pw_uid;
  gid_ = entry->pw_gid;
  mkdir("/run/sshd", 0755);
  return true;
}

bool SshServer::launch(std::string& why) {
  ipv6_ = loopbackIPv6Works();
  for (int attempt = 0; attempt < kLaunchAttempts; ++attempt) {
    for (int& port : ports_) port = freePort(ipv6_ && &port == &ports_[0]);
    if (ports_[0] == 0 || ports_[1] == 0 || ports_[2] == 0 || ports_[0] == ports_[1] || ports_[1] == ports_[2] ||
        ports_[0] == ports_[2]) {
      continue;
    }
    const std::string& d = directory_;
    std::ostringstream config;
    config << "ListenAddress 127.0.0.1:" << ports_[0] << "\n";
    if (ipv6_) config << "ListenAddress [::1]:" << ports_[0] << "\n";
    config << "ListenAddress 127.0.0.1:" << ports_[1] << "\n"
           << "ListenAddress 127.0.0.1:" << ports_[2] << "\n"
           << "HostKey " << d << "/host_ed25519\n"
           << "PidFile none\n"
           << "AuthorizedKeysFile " << d << "/authorized_keys\n"
           << "StrictModes no\n"
           << "UsePAM no\n"
           << "PubkeyAuthentication yes\n"
           << "PasswordAuthentication yes\n"
           << "KbdInteractiveAuthentication no\n"
           << "PermitRootLogin no\n"
           << "MaxStartups 100\n"
           << "MaxAuthTries 20\n"
           << "Subsystem sftp internal-sftp\n"
           << "LogLevel INFO\n"
           << "Match LocalPort " << ports_[1] << "\n"
           << "  PasswordAuthentication no\n"
           << "Match LocalPort " << ports_[2] << "\n"
           << "  PubkeyAuthentication no\n";
    if (!writeFile(d + "/sshd_config", config.str(), 0644)) {
      why = "cannot write sshd_config";
      return false;
    }
    const std::string configPath = d + "/sshd_config";
    const std::string logPath = d + "/sshd.log";
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
      // The server ends with the test process, even when that one crashes.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (log >= 0) {
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
      }
      execl(kSshd, kSshd, "-D", "-e", "-f", configPath.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid < 0) {
      why = "fork failed";
      return false;
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;  // most likely a port was taken in the meantime: try others
      }
      if (accepts(ports_[0]) && accepts(ports_[1]) && accepts(ports_[2])) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (pid_ > 0) {
      why = "sshd did not start listening in time";
      return false;
    }
  }
  why = "sshd exited at every attempt";
  return false;
}

int SshServer::keyboardInteractivePort() {
  if (keyboardInteractivePort_ != 0 || geteuid() != 0) return keyboardInteractivePort_;
  const int port = freePort(false);
  const std::string configPath = directory_ + "/sshd_config_kbdint";
  std::ostringstream config;
  config << "ListenAddress 127.0.0.1:" << port << "\n"
         << "HostKey " << directory_ << "/host_ed25519\n"
         << "PidFile none\nUsePAM yes\nKbdInteractiveAuthentication yes\nPasswordAuthentication no\n"
         << "PubkeyAuthentication no\nPermitRootLogin no\nSubsystem sftp internal-sftp\nLogLevel INFO\n";
  if (port == 0 || !writeFile(configPath, config.str(), 0644)) return 0;
  const std::string logPath = directory_ + "/sshd_kbdint.log";
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log >= 0) {
      dup2(log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
    }
    execl(kSshd, kSshd, "-D", "-e", "-f", configPath.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return 0;
  keyboardInteractivePid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (accepts(port)) {
      keyboardInteractivePort_ = port;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return keyboardInteractivePort_;
}

void SshServer::stop() {
  if (keyboardInteractivePid_ > 0) {
    kill(keyboardInteractivePid_, SIGTERM);
    waitpid(keyboardInteractivePid_, nullptr, 0);
    keyboardInteractivePid_ = -1;
  }
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (passwordFd_ >= 0) {
    // The last process leaves no usable password behind on the account. "*" rather than a lock
    // ("!"): sshd refuses every login to a locked account, keys too.
    const SetupLock setup;
    if (setup.held() && flock(passwordFd_, LOCK_EX | LOCK_NB) == 0) {
      runProgram("/usr/sbin/usermod", {"-p", "*", user_});
    }
    close(passwordFd_);
    passwordFd_ = -1;
  }
  password_.reset();
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
    directory_.clear();
  }
}

std::string SshServer::newRemoteDirectory(const std::string& name) {
  const std::string path = directory_ + "/remote/" + std::to_string(++remoteCounter_) + "-" + name;
  mkdir(path.c_str(), 0755);
  giveToUser(path);
  return path;
}

void SshServer::giveToUser(const std::string& path) const {
  if (lchown(path.c_str(), uid_, gid_) != 0 && geteuid() == 0) {
    std::fprintf(stderr, "SshServer: lchown %s: %s\n", path.c_str(), std::strerror(errno));
  }
}

void SshServer::pauseConnections(bool paused) const { signalConnections(paused ? SIGSTOP : SIGCONT); }

void SshServer::signalConnections(int signal, bool newestOnly) const {
  if (pid_ <= 0) return;
  // Parent and start time of every process, from /proc/PID/stat (the fields after the
  // parenthesised name: state, parent, ..., start time the 20th).
  struct Process {
    pid_t pid;
    pid_t parent;
    unsigned long long started;
  };
  std::vector<Process> processes;
  std::error_code ignored;
  for (auto it = std::filesystem::directory_iterator("/proc", ignored); it != std::filesystem::directory_iterator();
       it.increment(ignored)) {
    const std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = readFile(it->path().string() + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    std::vector<std::string> field{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
    if (field.size() < 20) continue;
    processes.push_back({static_cast<pid_t>(std::stol(name)), static_cast<pid_t>(std::stol(field[1])),
                         std::stoull(field[19])});
  }
  // Each connection is one child of the listener, with the session's processes below it.
  std::vector<pid_t> doomed{pid_};
  if (newestOnly) {
    const Process* newest = nullptr;
    for (const Process& process : processes) {
      if (process.parent != pid_) continue;
      if (newest == nullptr || std::tie(process.started, process.pid) > std::tie(newest->started, newest->pid)) {
        newest = &process;
      }
    }
    if (newest == nullptr) return;
    doomed = {pid_, newest->pid};
  }
  for (std::size_t i = newestOnly ? 1 : 0; i < doomed.size(); ++i) {
    for (const Process& process : processes) {
      if (process.parent == doomed[i]) doomed.push_back(process.pid);
    }
  }
  for (std::size_t i = 1; i < doomed.size(); ++i) kill(doomed[i], signal);
}

std::size_t SshServer::acceptedLogins() const {
  const std::string log = logText();
  std::size_t count = 0;
  for (std::size_t at = log.find("Accepted "); at != std::string::npos; at = log.find("Accepted ", at + 1)) ++count;
  return count;
}

std::string SshServer::logText() const { return directory_.empty() ? "" : readFile(directory_ + "/sshd.log"); }
