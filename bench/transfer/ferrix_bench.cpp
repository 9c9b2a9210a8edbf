// Ferrix benchmark: uploads and downloads one file (512 MiB by default) to and from a local OpenSSH
// server with Ferrix, with a plain libssh2 loop of the same 16384-byte chunks, and with OpenSSH's own
// sftp client (aes128-ctr, hmac-sha2-256: what libssh2 negotiates), all in the same run against the
// same server and file. Prints throughputs, Ferrix's ratios to the two references, and the peak
// memory of a child process that does nothing but one Ferrix download.
#include <Ferrix/Ferrix.h>

#include <fcntl.h>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
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
#include <string>
#include <vector>

#include "SshServer.h"

namespace {

constexpr std::size_t kChunk = 16384;
constexpr std::size_t kMiB = 1024 * 1024;
constexpr double kMemoryGoalMiB = 32;
constexpr double kRatioGoal = 0.95;

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
    if (libssh2_session_handshake(session_, sock_) != 0) return;
    if (libssh2_userauth_publickey_fromfile(session_, user.c_str(), nullptr, key.c_str(), "") != 0) return;
    sftp_ = libssh2_sftp_init(session_);
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

struct Best {
  double up = 0;    // MB/s, the best of the rounds
  double down = 0;
  double upCpu = 1e9;  // this process's CPU seconds for the transfer, the least of the rounds
  double downCpu = 1e9;
};

// CPU seconds (user + system) this process has used so far. Less swayed by other load than the
// wall clock: it shows what the client side itself spends on a transfer.
double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs one timed transfer and keeps the best wall-clock throughput and the least CPU time.
template <typename Transfer>
bool measure(std::size_t bytes, double& bestRate, double& leastCpu, Transfer transfer) {
  const double cpuStart = cpuSeconds();
  const auto start = Clock::now();
  const bool ok = transfer();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  leastCpu = std::min(leastCpu, cpuSeconds() - cpuStart);
  bestRate = std::max(bestRate, static_cast<double>(bytes) / 1e6 / seconds);
  return ok;
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

double mbPerSecond(std::size_t bytes, double seconds) { return static_cast<double>(bytes) / 1e6 / seconds; }

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 7 && std::strcmp(argv[1], "--download-child") == 0) return downloadChild(argv + 2);

  std::size_t sizeMiB = 512;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      sizeMiB = static_cast<std::size_t>(std::atol(argv[++i]));
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::printf("usage: ferrix_bench [--size MIB] [--rounds N]\n");
      return std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ? 0 : 1;
    }
  }
  const std::size_t bytes = sizeMiB * kMiB;
  const std::string loadBefore = loadAverage();

  SshServer& server = SshServer::shared();
  const std::string local = server.localDirectory();
  const std::string remote = server.newRemoteDirectory("bench");
  const std::string source = local + "/source";
  const std::string remoteSource = remote + "/source";
  if (!makeSource(source, bytes)) {
    std::fprintf(stderr, "ferrix_bench: cannot write %s\n", source.c_str());
    return 1;
  }
  std::error_code copyError;
  std::filesystem::copy_file(source, remoteSource, copyError);
  server.giveToUser(remoteSource);

  const std::string key = server.privateKeyPath();
  const std::string target = server.user() + "@127.0.0.1";
  const std::vector<std::string> sftpOptions{"-q", "-P", std::to_string(server.port()), "-i", key,
                                             "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                                             "-o", "BatchMode=yes", "-o", "Ciphers=aes128-ctr",
                                             "-o", "MACs=hmac-sha2-256", "-b", "-", target};
  auto sftpBatch = [&](const std::string& commands) {
    const auto start = Clock::now();
    const int status = runProgram("/usr/bin/sftp", sftpOptions, commands);
    return status == 0 ? secondsSince(start) : -1.0;
  };
  // The sftp client's own start, connection and login, taken off its transfer times.
  double sftpOverhead = 1e9;
  for (int i = 0; i < 3; ++i) sftpOverhead = std::min(sftpOverhead, std::max(0.0, sftpBatch("pwd\n")));

  std::string negotiated;
  Best plain, ferrix, openssh;
  bool verified = true;
  BenchDelegate delegate;
  auto runPlain = [&]() -> bool {
    PlainSession session(server.port(), server.user(), key);
    if (!session.ready()) return false;
    negotiated = session.methods();
    verified &= measure(bytes, plain.up, plain.upCpu, [&] { return session.upload(source, remote + "/plain-up"); });
    verified &= measure(bytes, plain.down, plain.downCpu,
                        [&] { return session.download(remoteSource, local + "/plain-down"); });
    return true;
  };
  auto runFerrix = [&]() -> bool {
    auto sftp = ferrixSession(server.port(), server.user(), key, &delegate);
    if (!sftp) return false;
    verified &= measure(bytes, ferrix.up, ferrix.upCpu,
                        [&] { return sftp->copyItemAtPath(source, remote + "/ferrix-up"); });
    verified &= measure(bytes, ferrix.down, ferrix.downCpu,
                        [&] { return sftp->copyItemAtRemotePath(remoteSource, local + "/ferrix-down"); });
    return true;
  };
  for (int round = 0; round < rounds; ++round) {
    // Alternate who goes first, so neither always meets a warmer cache.
    const bool plainFirst = round % 2 == 0;
    if (!(plainFirst ? runPlain() : runFerrix()) || !(plainFirst ? runFerrix() : runPlain())) {
      std::fprintf(stderr, "ferrix_bench: could not open a session\n");
      return 1;
    }
    const double up = sftpBatch("put " + source + " " + remote + "/openssh-up\n");
    const double down = sftpBatch("get " + remoteSource + " " + local + "/openssh-down\n");
    verified &= up > 0 && down > 0;
    openssh.up = std::max(openssh.up, mbPerSecond(bytes, std::max(up - sftpOverhead, 1e-6)));
    openssh.down = std::max(openssh.down, mbPerSecond(bytes, std::max(down - sftpOverhead, 1e-6)));

    if (round == 0) {
      for (const char* copy : {"/plain-up", "/ferrix-up", "/openssh-up"}) verified &= sameContents(source, remote + copy);
      for (const char* copy : {"/plain-down", "/ferrix-down", "/openssh-down"}) verified &= sameContents(source, local + copy);
    }
    for (const char* copy : {"/plain-up", "/ferrix-up", "/openssh-up"}) std::filesystem::remove(remote + copy, copyError);
    for (const char* copy : {"/plain-down", "/ferrix-down", "/openssh-down"}) std::filesystem::remove(local + copy, copyError);
  }

  const double peak = childPeakMiB({std::to_string(server.port()), server.user(), key, remoteSource, local + "/child-down"});
  verified &= peak > 0 && sameContents(source, local + "/child-down");
  std::filesystem::remove(local + "/child-down", copyError);

  const double upRatio = ferrix.up / plain.up;
  const double downRatio = ferrix.down / plain.down;
  std::printf("Ferrix benchmark: %zu MiB over SFTP to a local OpenSSH server, best of %d round(s)\n", sizeMiB, rounds);
  std::printf("libssh2 negotiated: %s; OpenSSH sftp forced to aes128-ctr / hmac-sha2-256\n", negotiated.c_str());
  std::printf("(MB = 10^6 bytes; sftp client times less its %.3f s start-up and login)\n", sftpOverhead);
  std::printf("load average %s before, %s after (on %ld cores): a loaded machine blurs the ratios\n\n",
              loadBefore.c_str(), loadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("%-26s %12s %14s\n", "", "upload MB/s", "download MB/s");
  std::printf("%-26s %12.1f %14.1f\n", "OpenSSH sftp", openssh.up, openssh.down);
  std::printf("%-26s %12.1f %14.1f\n", "plain libssh2, 16 KiB", plain.up, plain.down);
  std::printf("%-26s %12.1f %14.1f\n", "Ferrix", ferrix.up, ferrix.down);
  std::printf("%-26s %11.3fx %13.3fx   goal >= %.2fx: %s\n", "Ferrix / plain libssh2", upRatio, downRatio, kRatioGoal,
              upRatio >= kRatioGoal && downRatio >= kRatioGoal ? "met" : "NOT MET");
  std::printf("%-26s %11.3fx %13.3fx\n", "Ferrix / OpenSSH sftp", ferrix.up / openssh.up, ferrix.down / openssh.down);
  std::printf("\nclient CPU seconds per transfer (least of the rounds; steadier than throughput on a busy host)\n");
  std::printf("%-26s %12.3f %14.3f\n", "plain libssh2, 16 KiB", plain.upCpu, plain.downCpu);
  std::printf("%-26s %12.3f %14.3f\n", "Ferrix", ferrix.upCpu, ferrix.downCpu);
  std::printf("%-26s %11.3fx %13.3fx   (1.00x: the library adds nothing)\n", "Ferrix / plain libssh2",
              ferrix.upCpu / plain.upCpu, ferrix.downCpu / plain.downCpu);
  std::printf("\nFerrix download peak memory (child process, ru_maxrss): %.1f MiB   goal < %.0f MiB: %s\n", peak,
              kMemoryGoalMiB, peak > 0 && peak < kMemoryGoalMiB ? "met" : "NOT MET");
  std::printf("copies verified byte for byte: %s\n", verified ? "yes" : "NO");
  return verified ? 0 : 1;
}
