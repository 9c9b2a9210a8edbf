#include "FerrixProxy.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace ferrix {

namespace {

// How long a proxy child may take to notice that its socket closed before it is terminated.
constexpr int kEndWaitMilliseconds = 2000;

}  // namespace

std::optional<Proxy> Proxy::start(const char* program, char* const argv[], std::string& why) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    why = std::string("cannot make a socket pair: ") + std::strerror(errno);
    return std::nullopt;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    why = std::string("cannot start the proxy: ") + std::strerror(errno);
    ::close(pair[0]);
    ::close(pair[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    // The child's standard input and output are its end; its standard error stays ours, so that
    // what ssh says about the jump host reaches the user.
    ::dup2(pair[1], STDIN_FILENO);
    ::dup2(pair[1], STDOUT_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(program, argv);
    std::fprintf(stderr, "ferrix: cannot run %s: %s\n", program, std::strerror(errno));
    ::_exit(127);
  }
  ::close(pair[1]);
  return Proxy(pid, pair[0]);
}

std::optional<Proxy> Proxy::command(const std::string& command, std::string& why) {
  std::string line = "exec " + command;
  std::vector<char*> argv{const_cast<char*>("sh"), const_cast<char*>("-c"), line.data(), nullptr};
  return start("/bin/sh", argv.data(), why);
}

std::optional<Proxy> Proxy::jump(const std::string& hops, const std::string& host, int port,
                                 const std::optional<std::string>& configFile, std::string& why) {
  // The last hop runs -W; the ones before it are its own -J.
  const std::size_t lastComma = hops.rfind(',');
  std::string hop = lastComma == std::string::npos ? hops : hops.substr(lastComma + 1);
  const std::string before = lastComma == std::string::npos ? "" : hops.substr(0, lastComma);
  if (hop.rfind("ssh://", 0) == 0) hop = hop.substr(6);
  std::string user;
  if (const std::size_t at = hop.rfind('@'); at != std::string::npos) {
    user = hop.substr(0, at);
    hop = hop.substr(at + 1);
  }
  std::string hopPort;
  if (!hop.empty() && hop.front() == '[') {
    const std::size_t close = hop.find(']');
    if (close == std::string::npos) {
      why = "bad ProxyJump host " + hop;
      return std::nullopt;
    }
    if (close + 1 < hop.size() && hop[close + 1] == ':') hopPort = hop.substr(close + 2);
    hop = hop.substr(1, close - 1);
  } else if (const std::size_t colon = hop.rfind(':'); colon != std::string::npos && hop.find(':') == colon) {
    hopPort = hop.substr(colon + 1);
    hop = hop.substr(0, colon);
  }
  if (hop.empty() || (!hopPort.empty() && hopPort.find_first_not_of("0123456789") != std::string::npos)) {
    why = "bad ProxyJump host " + hops;
    return std::nullopt;
  }
  std::vector<std::string> words{"ssh"};
  if (configFile) words.insert(words.end(), {"-F", *configFile});
  if (!user.empty()) words.insert(words.end(), {"-l", user});
  if (!hopPort.empty()) words.insert(words.end(), {"-p", hopPort});
  if (!before.empty()) words.insert(words.end(), {"-J", before});
  words.insert(words.end(), {"-W", "[" + host + "]:" + std::to_string(port), "--", hop});
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return start("ssh", argv.data(), why);
}

Proxy::Proxy(Proxy&& other) noexcept : pid_(other.pid_), fd_(other.fd_) {
  other.pid_ = -1;
  other.fd_ = -1;
}

Proxy& Proxy::operator=(Proxy&& other) noexcept {
  if (this != &other) {
    finish();
    pid_ = other.pid_;
    fd_ = other.fd_;
    other.pid_ = -1;
    other.fd_ = -1;
  }
  return *this;
}

Proxy::~Proxy() { finish(); }

void Proxy::finish() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (pid_ <= 0) return;
  for (int waited = 0; waited < kEndWaitMilliseconds; waited += 10) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    ::usleep(10000);
  }
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int Proxy::takeSocket() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

}  // namespace ferrix
