// Ferrix benchmark: uploads and downloads one file to and from a local OpenSSH server, directly and
// through a latency proxy (1 ms and 20 ms round trips), with Ferrix pipelined (the ferrix command's
// default), Ferrix stop-and-wait, a plain libssh2 loop of 16384-byte chunks, and OpenSSH's own sftp
// client (aes128-ctr, hmac-sha2-256: what libssh2 negotiates), all in the same run against the same
// server and file, each timed on a session that has already moved data. Prints one table of
// throughputs, Ferrix's ratio to OpenSSH sftp, client CPU seconds per GiB; a second table of the
// whole `ferrix` and `sftp` commands, log-in included; and the peak memory of child processes that
// do nothing but one Ferrix download.
#include <Ferrix/Ferrix.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LatencyProxy.h"
#include "SshServer.h"

namespace {

constexpr std::size_t kChunk = 16384;
constexpr std::size_t kMiB = 1024 * 1024;
constexpr double kMemoryGoalMiB = 32;
constexpr std::size_t kWarmUpBytes = 4 * kMiB;
constexpr int kRuns = 3;
constexpr double kLongRunSeconds = 10;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool makeSource(const std::string& path, std::size_t bytes) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  std::vector<std::uint64_t> block(kMiB / 8);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (std::size_t written = 0; written < bytes; written += kMiB) {
    for (auto& word : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      word = x;
    }
    std::fwrite(block.data(), 1, std::min(kMiB, bytes - written), out);
  }
  return std::fclose(out) == 0;
}

bool sameContents(const std::string& a, const std::string& b) {
  FILE* fa = std::fopen(a.c_str(), "rb");
  FILE* fb = std::fopen(b.c_str(), "rb");
  bool same = fa != nullptr && fb != nullptr;
  std::vector<char> ba(kMiB), bb(kMiB);
  while (same) {
    std::size_t na = std::fread(ba.data(), 1, ba.size(), fa);
    std::size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
    same = na == nb && std::memcmp(ba.data(), bb.data(), na) == 0;
    if (na == 0) break;
  }
  if (fa != nullptr) std::fclose(fa);
  if (fb != nullptr) std::fclose(fb);
  return same;
}

// A plain libssh2 session, set up the way Ferrix sets up its own (TCP_NODELAY, blocking, key login).
class PlainSession {
public:
  PlainSession(int port, const std::string& user, const std::string& key) {
    libssh2_init(0);
    sock_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    session_ = libssh2_session_init();
    libssh2_session_set_blocking(session_, 1);
    if (libssh2_session_handshake(session_, sock_) != 0 ||
        libssh2_userauth_publickey_fromfile(session_, user.c_str(), nullptr, key.c_str(), "") != 0 ||
        (sftp_ = libssh2_sftp_init(session_)) == nullptr) {
      char* message = nullptr;
      libssh2_session_last_error(session_, &message, nullptr, 0);
      why_ = message != nullptr ? message : "?";
    }
  }
  ~PlainSession() {
    if (sftp_ != nullptr) libssh2_sftp_shutdown(sftp_);
    if (session_ != nullptr) {
      libssh2_session_disconnect(session_, "bye");
      libssh2_session_free(session_);
    }
    if (sock_ >= 0) close(sock_);
    libssh2_exit();
  }
  PlainSession(const PlainSession&) = delete;
  PlainSession& operator=(const PlainSession&) = delete;

  [[nodiscard]] bool ready() const { return sftp_ != nullptr; }
  [[nodiscard]] const std::string& why() const { return why_; }
  [[nodiscard]] std::string methods() const {
    const char* cipher = libssh2_session_methods(session_, LIBSSH2_METHOD_CRYPT_CS);
    const char* mac = libssh2_session_methods(session_, LIBSSH2_METHOD_MAC_CS);
    return std::string(cipher ? cipher : "?") + " / " + (mac ? mac : "?");
  }

  bool upload(const std::string& local, const std::string& remote) {
    LIBSSH2_SFTP_HANDLE* handle =
        libssh2_sftp_open(sftp_, remote.c_str(), LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0644);
    int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = handle != nullptr && fd >= 0;
    char buffer[kChunk];
    while (ok) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      for (ssize_t done = 0; ok && done < n;) {
        ssize_t w = libssh2_sftp_write(handle, buffer + done, static_cast<std::size_t>(n - done));
        ok = w > 0;
        done += w;
      }
    }
    if (fd >= 0) close(fd);
    if (handle != nullptr) libssh2_sftp_close(handle);
    return ok;
  }

  bool download(const std::string& remote, const std::string& local) {
    LIBSSH2_SFTP_HANDLE* handle = libssh2_sftp_open(sftp_, remote.c_str(), LIBSSH2_FXF_READ, 0);
    int fd = open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = handle != nullptr && fd >= 0;
    char buffer[kChunk];
    while (ok) {
      ssize_t n = libssh2_sftp_read(handle, buffer, sizeof buffer);
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      ok = write(fd, buffer, static_cast<std::size_t>(n)) == n;
    }
    if (fd >= 0) close(fd);
    if (handle != nullptr) libssh2_sftp_close(handle);
    return ok;
  }

private:
  int sock_ = -1;
  LIBSSH2_SESSION* session_ = nullptr;
  LIBSSH2_SFTP* sftp_ = nullptr;
  std::string why_ = "no connection";
};

// What an application would hang on a transfer: progress and speed, both kept.
class BenchDelegate final : public FRXObject,
                            public FRXConnectionDelegateProtocol,
                            public FRXConnectionSpeedDelegateProtocol {
public:
  void connectionDidFailOperationWithError(FRXConnection&, const FRXError*) override {}
  void connectionDidCompleteOperation(FRXConnection&) override {}
  void connectionDidUpdateProgress(FRXConnection&, double progress) override { progress_ = progress; }
  void connectionDidUpdateTransferSpeed(FRXConnection&, const std::string& speed) override { speed_ = speed; }

private:
  double progress_ = 0;
  std::string speed_;
};

std::unique_ptr<FRXSFTP> ferrixSession(int port, const std::string& user, const std::string& key, FRXObject* delegate) {
  auto sftp = std::make_unique<FRXSFTP>("127.0.0.1", user, key, std::nullopt);
  sftp->setPort(port);
  sftp->setDelegate(delegate);
  FRXError error;
  if (!sftp->connectWithError(&error)) {
    std::fprintf(stderr, "ferrix_bench: connect: %s\n", error.description().c_str());
    return nullptr;
  }
  return sftp;
}

// The measured child: one Ferrix download and nothing else.
int downloadChild(char** argv) {
  const int port = std::atoi(argv[0]);
  BenchDelegate delegate;
  auto sftp = ferrixSession(port, argv[1], argv[2], &delegate);
  if (!sftp) return 1;
  sftp->setPipelined(std::strcmp(argv[5], "pipelined") == 0);
  FRXError error;
  return sftp->copyItemAtRemotePath(argv[3], argv[4], &error) ? 0 : 1;
}

// Peak resident memory (MiB) of a child doing one Ferrix download, or a negative number on failure.
double childPeakMiB(const std::vector<std::string>& arguments) {
  std::vector<std::string> words{"/proc/self/exe", "--download-child"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// CPU seconds (user + system) used so far by this process, or by its waited-for children.
double cpuSeconds(int who = RUSAGE_SELF) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The one-minute load average: a busy machine makes every number here noisier.
std::string loadAverage() {
  FILE* file = std::fopen("/proc/loadavg", "r");
  double load = -1;
  if (file != nullptr) {
    if (std::fscanf(file, "%lf", &load) != 1) load = -1;
    std::fclose(file);
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", load);
  return text;
}

// The latency proxy runs in a child process, so that its work is not counted as the client's.
class ProxyProcess {
public:
  ProxyProcess(int targetPort, std::chrono::microseconds oneWay) {
    int ports[2];
    int stop[2];
    if (pipe2(ports, O_CLOEXEC) != 0 || pipe2(stop, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ports[0]);
      close(stop[1]);
      {
        LatencyProxy proxy(targetPort, oneWay);
        const int port = proxy.port();
        (void)!write(ports[1], &port, sizeof port);
        char ignored;
        (void)!read(stop[0], &ignored, 1);  // until the parent closes its end
      }
      _exit(0);
    }
    close(ports[1]);
    close(stop[0]);
    stop_ = stop[1];
    if (read(ports[0], &port_, sizeof port_) != sizeof port_) port_ = 0;
    close(ports[0]);
  }
  ProxyProcess(const ProxyProcess&) = delete;
  ProxyProcess& operator=(const ProxyProcess&) = delete;
  ~ProxyProcess() {
    if (stop_ >= 0) close(stop_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  [[nodiscard]] int port() const { return port_; }

private:
  pid_t pid_ = -1;
  int stop_ = -1;
  int port_ = 0;
};

// Pushes bytes through a zero-delay proxy to a sink (or straight to it): the proxy's own ceiling,
// and plain loopback TCP's beside it, in GB/s.
double proxyCeiling(bool throughProxy) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return -1;
  }
  constexpr std::size_t kBytes = std::size_t{4} << 30;
  pid_t sink = fork();
  if (sink == 0) {
    int peer = accept(listener, nullptr, nullptr);
    std::vector<char> buffer(kMiB);
    while (read(peer, buffer.data(), buffer.size()) > 0) {
    }
    _exit(0);
  }
  double rate = -1;
  {
    std::optional<ProxyProcess> proxy;
    if (throughProxy) proxy.emplace(ntohs(address.sin_port), std::chrono::microseconds(0));
    int out = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (proxy) address.sin_port = htons(static_cast<std::uint16_t>(proxy->port()));
    if (connect(out, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      std::vector<char> buffer(kMiB, 'x');
      const auto start = Clock::now();
      std::size_t sent = 0;
      while (sent < kBytes) {
        ssize_t n = write(out, buffer.data(), buffer.size());
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      shutdown(out, SHUT_WR);
      int status = 0;
      waitpid(sink, &status, 0);  // the sink has read everything
      rate = static_cast<double>(sent) / 1e9 / secondsSince(start);
    }
    close(out);
  }
  close(listener);
  return rate;
}

struct Result {
  double up = 0;  // MB/s
  double down = 0;
  double upCpu = 0;  // client CPU seconds per GiB
  double downCpu = 0;
  // The whole command, started, connected and logged in (ferrix and sftp only), MB/s.
  double upCommand = 0;
  double downCommand = 0;
};

enum Method { kPipelined, kStopAndWait, kPlain, kOpenSSH, kMethods };
constexpr const char* kMethodNames[kMethods] = {"Ferrix pipelined", "Ferrix stop-and-wait", "plain libssh2 16 KiB",
                                                "OpenSSH sftp"};
constexpr const char* kMethodKeys[kMethods] = {"pipelined", "stop-and-wait", "plain", "sftp"};

struct Scenario {
  const char* name;
  const char* key;
  std::chrono::microseconds oneWay;
  std::size_t bytes;
  Result results[kMethods];
};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 8 && std::strcmp(argv[1], "--download-child") == 0) return downloadChild(argv + 2);

  std::size_t sizeMiB = 512;
  std::size_t delayedMiB = 64;
  // Rounds and methods to run; all when none is named.
  std::vector<std::string> onlyRounds;
  std::vector<std::string> onlyMethods;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      sizeMiB = static_cast<std::size_t>(std::atol(argv[++i]));
    } else if (std::strcmp(argv[i], "--delayed-size") == 0 && i + 1 < argc) {
      delayedMiB = static_cast<std::size_t>(std::atol(argv[++i]));
    } else if (std::strcmp(argv[i], "--round") == 0 && i + 1 < argc) {
      onlyRounds.emplace_back(argv[++i]);
    } else if (std::strcmp(argv[i], "--method") == 0 && i + 1 < argc) {
      onlyMethods.emplace_back(argv[++i]);
    } else {
      std::printf("usage: ferrix_bench [--size MIB (loopback, default 512)] [--delayed-size MIB (1 ms; a quarter of "
                  "it at 20 ms; default 64)]\n"
                  "                    [--round loopback|1ms|20ms]... [--method %s|%s|%s|%s]...\n"
                  "Runs every round and method unless some are named; skipped cells print as 0.\n",
                  kMethodKeys[0], kMethodKeys[1], kMethodKeys[2], kMethodKeys[3]);
      return std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ? 0 : 1;
    }
  }
  auto chosen = [](const std::vector<std::string>& only, const char* key) {
    return only.empty() || std::find(only.begin(), only.end(), key) != only.end();
  };
  auto runs = [&](Method method) { return chosen(onlyMethods, kMethodKeys[method]); };
  const std::string loadBefore = loadAverage();
  const double ceiling = proxyCeiling(true);
  const double direct = proxyCeiling(false);

  SshServer& server = SshServer::shared();
  const std::string local = server.localDirectory();
  const std::string remote = server.newRemoteDirectory("bench");
  const std::string key = server.privateKeyPath();
  const std::string target = server.user() + "@127.0.0.1";
  std::string negotiated;
  bool verified = true;
  BenchDelegate delegate;
  std::error_code ignored;

  // Stop-and-wait at 20 ms moves under 1 MB/s: the delayed rounds use smaller files.
  Scenario scenarios[] = {
      {"loopback", "loopback", std::chrono::microseconds(0), sizeMiB * kMiB, {}},
      {"1 ms", "1ms", std::chrono::microseconds(500), std::min(sizeMiB, delayedMiB) * kMiB, {}},
      {"20 ms", "20ms", std::chrono::microseconds(10000), std::min(sizeMiB, delayedMiB / 4) * kMiB, {}},
  };
  for (Scenario& scenario : scenarios) {
    if (!chosen(onlyRounds, scenario.key)) continue;
    std::optional<ProxyProcess> proxy;
    if (scenario.oneWay.count() > 0) proxy.emplace(server.port(), scenario.oneWay);
    const int port = proxy ? proxy->port() : server.port();
    const std::string source = local + "/source";
    const std::string remoteSource = remote + "/source";
    if (!makeSource(source, scenario.bytes)) {
      std::fprintf(stderr, "ferrix_bench: cannot write %s\n", source.c_str());
      return 1;
    }
    std::filesystem::copy_file(source, remoteSource, std::filesystem::copy_options::overwrite_existing, ignored);
    server.giveToUser(remoteSource);
    const std::string warmSource = local + "/warm-source";
    const std::string remoteWarmSource = remote + "/warm-source";
    makeSource(warmSource, std::min(scenario.bytes, kWarmUpBytes));
    std::filesystem::copy_file(warmSource, remoteWarmSource, std::filesystem::copy_options::overwrite_existing,
                               ignored);
    server.giveToUser(remoteWarmSource);
    const double gib = static_cast<double>(scenario.bytes) / static_cast<double>(1u << 30);

    // A session's first transfer also pays for the connection's start (TCP buffers growing, the
    // server's first window), which sftp's timing (two transfers less one) leaves out: every
    // session first moves a small file each way. Then the methods take turns, kRuns times over, so
    // that the machine's drift falls on all of them alike, and each keeps its best run; a method
    // whose run takes longer than kLongRunSeconds is not run again.
    std::unique_ptr<FRXSFTP> ferrixSessions[2];
    std::optional<PlainSession> plain;
    std::function<bool(bool upload, const std::string& from, const std::string& to)> transfers[kMethods];
    for (Method method : {kPipelined, kStopAndWait}) {
      if (!runs(method)) continue;
      std::unique_ptr<FRXSFTP>& sftp = ferrixSessions[method];
      sftp = ferrixSession(port, server.user(), key, &delegate);
      if (!sftp) return 1;
      sftp->setPipelined(method == kPipelined);
      transfers[method] = [&sftp](bool upload, const std::string& from, const std::string& to) {
        return upload ? sftp->copyItemAtPath(from, to) : sftp->copyItemAtRemotePath(from, to);
      };
    }
    for (int attempt = 0; attempt < 3 && runs(kPlain) && !transfers[kPlain]; ++attempt) {
      plain.emplace(port, server.user(), key);
      if (!plain->ready()) {
        std::fprintf(stderr, "ferrix_bench: the plain libssh2 session could not start (%s): %s\n", scenario.name,
                     plain->why().c_str());
        plain.reset();
        if (attempt == 2) return 1;
        continue;
      }
      negotiated = plain->methods();
      transfers[kPlain] = [&plain](bool upload, const std::string& from, const std::string& to) {
        return upload ? plain->upload(from, to) : plain->download(from, to);
      };
    }
    for (auto& transfer : transfers) {
      for (bool upload : {true, false}) {
        if (!transfer) continue;
        const std::string warm = upload ? remote + "/warm" : local + "/warm";
        verified &= transfer(upload, upload ? warmSource : remoteWarmSource, warm);
        std::filesystem::remove(warm, ignored);
      }
    }

    const std::vector<std::string> sftpOptions{"-q", "-P", std::to_string(port), "-i", key,
                                               "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                                               "-o", "BatchMode=yes", "-o", "Ciphers=aes128-ctr",
                                               "-o", "MACs=hmac-sha2-256", "-b", "-", target};
    // Least times of whole commands, per direction (0 up, 1 down), and sftp's CPU for them.
    double ferrixCommand[2] = {1e9, 1e9};
    double sftpOnce[2] = {1e9, 1e9};
    double sftpTwice[2] = {1e9, 1e9};
    double sftpCpuOnce[2] = {1e9, 1e9};
    double sftpCpuTwice[2] = {1e9, 1e9};
    bool settled[kMethods][2] = {};
    auto verifyCopy = [&](bool upload) {
      const std::string copy = upload ? remote + "/copy" : local + "/copy";
      verified &= sameContents(source, copy);
      std::filesystem::remove(copy, ignored);
    };
    for (int run = 0; run < kRuns; ++run) {
      for (int m = 0; m < kMethods; ++m) {
        for (bool upload : {true, false}) {
          if (!transfers[m] || settled[m][upload ? 0 : 1]) continue;
          const double cpuStart = cpuSeconds();
          const auto start = Clock::now();
          verified &= transfers[m](upload, upload ? source : remoteSource, upload ? remote + "/copy" : local + "/copy");
          const double seconds = secondsSince(start);
          const double rate = static_cast<double>(scenario.bytes) / 1e6 / seconds;
          Result& result = scenario.results[m];
          if (rate > (upload ? result.up : result.down)) {
            (upload ? result.up : result.down) = rate;
            (upload ? result.upCpu : result.downCpu) = (cpuSeconds() - cpuStart) / gib;
          }
          verifyCopy(upload);
          settled[m][upload ? 0 : 1] = seconds > kLongRunSeconds;
        }
      }
      for (bool upload : {true, false}) {
        const int d = upload ? 0 : 1;
        const std::string copy = upload ? remote + "/copy" : local + "/copy";
        if (runs(kPipelined)) {
          // The ferrix command as a user runs it: start-up, connection and login included.
          const std::vector<std::string> arguments{"-P", std::to_string(port), "-i", key, "--fingerprint",
                                                   server.hostKeyFingerprint(), target, upload ? "put" : "get",
                                                   upload ? source : remoteSource, copy};
          const auto start = Clock::now();
          verified &= runProgram(FERRIX_COMMAND, arguments) == 0;
          ferrixCommand[d] = std::min(ferrixCommand[d], secondsSince(start));
          verifyCopy(upload);
        }
        if (runs(kOpenSSH)) {
          // sftp's own start, connection and login are taken off by timing a batch that moves the
          // file twice against one that moves it once: the difference is one transfer.
          const std::string command = (upload ? "put " + source : "get " + remoteSource) + " " + copy + "\n";
          for (bool two : {false, true}) {
            const double cpuStart = cpuSeconds(RUSAGE_CHILDREN);
            const auto start = Clock::now();
            verified &= runProgram("/usr/bin/sftp", sftpOptions, two ? command + command : command) == 0;
            double& least = two ? sftpTwice[d] : sftpOnce[d];
            least = std::min(least, secondsSince(start));
            double& leastCpu = two ? sftpCpuTwice[d] : sftpCpuOnce[d];
            leastCpu = std::min(leastCpu, cpuSeconds(RUSAGE_CHILDREN) - cpuStart);
          }
          verifyCopy(upload);
        }
      }
    }
    const double megabytes = static_cast<double>(scenario.bytes) / 1e6;
    for (bool upload : {true, false}) {
      const int d = upload ? 0 : 1;
      if (runs(kPipelined))
        (upload ? scenario.results[kPipelined].upCommand : scenario.results[kPipelined].downCommand) =
            megabytes / ferrixCommand[d];
      if (!runs(kOpenSSH)) continue;
      Result& result = scenario.results[kOpenSSH];
      (upload ? result.upCommand : result.downCommand) = megabytes / sftpOnce[d];
      const double seconds = sftpTwice[d] - sftpOnce[d];
      (upload ? result.up : result.down) = seconds > 0 ? megabytes / seconds : -1;
      (upload ? result.upCpu : result.downCpu) = (sftpCpuTwice[d] - sftpCpuOnce[d]) / gib;
    }
  }

  // Peak memory of one whole download on loopback, in each mode (when the loopback round runs).
  const std::string source = local + "/source";
  const bool measurePeaks = chosen(onlyRounds, "loopback");
  if (measurePeaks) {
    makeSource(source, scenarios[0].bytes);
    std::filesystem::copy_file(source, remote + "/source", std::filesystem::copy_options::overwrite_existing, ignored);
    server.giveToUser(remote + "/source");
  }
  double peaks[2] = {0, 0};
  for (int mode = 0; mode < 2 && measurePeaks; ++mode) {
    peaks[mode] = childPeakMiB({std::to_string(server.port()), server.user(), key, remote + "/source",
                                local + "/child-down", mode == 0 ? "pipelined" : "stop-and-wait"});
    verified &= peaks[mode] > 0 && sameContents(source, local + "/child-down");
    std::filesystem::remove(local + "/child-down", ignored);
  }

  std::printf("Ferrix benchmark: %zu MiB on loopback, %zu MiB at 1 ms, %zu MiB at 20 ms (round trips added by a "
              "latency proxy)\n",
              scenarios[0].bytes / kMiB, scenarios[1].bytes / kMiB, scenarios[2].bytes / kMiB);
  std::printf("libssh2 negotiated: %s; OpenSSH sftp forced to aes128-ctr / hmac-sha2-256, timed as a batch moving "
              "the file twice less one moving it once; the others timed on a session that has moved %zu MiB each "
              "way; all methods taking turns, best of up to %d runs each\n",
              negotiated.c_str(), kWarmUpBytes / kMiB, kRuns);
  std::printf("load average %s before, %s after, %ld cores; latency proxy alone at zero delay: %.2f GB/s (plain "
              "loopback TCP: %.2f GB/s)\n\n",
              loadBefore.c_str(), loadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN), ceiling, direct);
  std::printf("| round trip | direction |");
  for (const char* name : kMethodNames) std::printf(" %s MB/s |", name);
  std::printf(" pipelined / sftp | stop-and-wait / plain |");
  for (const char* name : kMethodNames) std::printf(" %s CPU s/GiB |", name);
  std::printf("\n|---|---|");
  for (int i = 0; i < 2 * kMethods + 2; ++i) std::printf("---|");
  std::printf("\n");
  for (const Scenario& scenario : scenarios) {
    for (bool upload : {true, false}) {
      auto rate = [&](Method m) { return upload ? scenario.results[m].up : scenario.results[m].down; };
      auto cpu = [&](Method m) { return upload ? scenario.results[m].upCpu : scenario.results[m].downCpu; };
      std::printf("| %s | %s |", scenario.name, upload ? "up" : "down");
      for (int m = 0; m < kMethods; ++m) std::printf(" %.1f |", rate(static_cast<Method>(m)));
      std::printf(" %.2fx | %.2fx |", rate(kPipelined) / rate(kOpenSSH), rate(kStopAndWait) / rate(kPlain));
      for (int m = 0; m < kMethods; ++m) std::printf(" %.2f |", cpu(static_cast<Method>(m)));
      std::printf("\n");
    }
  }
  std::printf("\nWhole commands, start-up, connection, key exchange and login included (least of three): "
              "`ferrix put|get` (pipelined) against an sftp batch of one put|get\n\n");
  std::printf("| round trip | direction | ferrix command MB/s | sftp command MB/s | ferrix / sftp |\n"
              "|---|---|---|---|---|\n");
  for (const Scenario& scenario : scenarios) {
    for (bool upload : {true, false}) {
      const Result& ferrix = scenario.results[kPipelined];
      const Result& sftp = scenario.results[kOpenSSH];
      const double mine = upload ? ferrix.upCommand : ferrix.downCommand;
      const double theirs = upload ? sftp.upCommand : sftp.downCommand;
      std::printf("| %s | %s | %.1f | %.1f | %.2fx |\n", scenario.name, upload ? "up" : "down", mine, theirs,
                  mine / theirs);
    }
  }
  std::printf("\npeak memory of a %zu MiB download (child process, ru_maxrss): pipelined %.1f MiB, stop-and-wait "
              "%.1f MiB; goal < %.0f MiB\n",
              scenarios[0].bytes / kMiB, peaks[0], peaks[1], kMemoryGoalMiB);
  std::printf("copies verified byte for byte: %s\n", verified ? "yes" : "NO");
  return verified ? 0 : 1;
}
