// Ferrix on shaped links: whole `ferrix`, OpenSSH `sftp` and `scp`, and rclone's sftp backend
// commands, each moving one file (or a tree of small files) up and down between two network
// namespaces joined by the link emulator, with OpenSSH's sshd in one namespace and the clients in
// the other. The server allows aes128-ctr / hmac-sha2-256 only, so every client runs the same
// cipher and MAC. Methods take turns within each run (interleaved), and each cell reports the
// median and range of its runs, the client's CPU per GiB and its peak resident memory (wait4 of the
// whole command: sftp's and scp's ssh children included). Not a test: needs root.
#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LinkEmulator.h"
#include "SshServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr std::size_t kMiB = 1024 * 1024;
constexpr int kSshPort = 22;
constexpr const char* kCipher = "aes128-ctr";
constexpr const char* kMac = "hmac-sha2-256";
constexpr auto kCapacityRun = std::chrono::milliseconds(3000);

// Set by SIGINT, SIGTERM or SIGHUP: the bench stops the command at hand and ends the normal way,
// so that the servers, the test user and the scratch files are cleaned up.
volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

bool makeSource(const std::string& path, std::size_t bytes, std::uint64_t seed) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  std::vector<std::uint64_t> block(kMiB / 8);
  std::uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
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

// Compared a block at a time: the bench stays small, and a child forked from it starts small (a
// child's peak memory counts what it had before its exec).
bool sameContents(const std::string& a, const std::string& b) {
  FILE* fa = std::fopen(a.c_str(), "rb");
  FILE* fb = std::fopen(b.c_str(), "rb");
  bool same = fa != nullptr && fb != nullptr;
  std::vector<char> ba(kMiB), bb(kMiB);
  while (same) {
    const std::size_t na = std::fread(ba.data(), 1, ba.size(), fa);
    const std::size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
    same = na == nb && std::memcmp(ba.data(), bb.data(), na) == 0;
    if (na == 0) break;
  }
  if (fa != nullptr) std::fclose(fa);
  if (fb != nullptr) std::fclose(fb);
  return same;
}

// Every regular file under `a` is under `b` with the same bytes, and `b` has no others.
bool sameTree(const std::string& a, const std::string& b) {
  std::error_code error;
  if (fs::is_regular_file(a, error)) return sameContents(a, b);
  std::size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(a, error)) {
    if (!entry.is_regular_file()) continue;
    ++count;
    if (!sameContents(entry.path(), b + "/" + fs::relative(entry.path(), a).string())) return false;
  }
  std::size_t theirs = 0;
  for (const auto& entry : fs::recursive_directory_iterator(b, error)) theirs += entry.is_regular_file() ? 1 : 0;
  return !error && count == theirs;
}

struct Sample {
  double seconds = 0;
  double cpuSeconds = 0;
  double peakMiB = 0;
};

// Runs a whole command and waits for it with wait4: its CPU and peak memory cover the children it
// waited for too (sftp's and scp's ssh). Standard output is dropped, errors kept in `errors`.
bool timedRun(const std::vector<std::string>& words, const std::string& input, Sample& sample, std::string& errors) {
  if (stopRequested != 0) return false;
  char errorPath[] = "/tmp/ferrix-link-errors-XXXXXX";
  int errorFd = mkstemp(errorPath);
  int in[2];
  if (errorFd < 0 || pipe2(in, O_CLOEXEC) != 0) return false;
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (auto& w : copy) argv.push_back(w.data());
  argv.push_back(nullptr);
  const auto start = Clock::now();
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Nothing of a run outlives the bench: a command still inside the client namespace would keep
    // it. (sftp's and scp's ssh end when their parent's pipes close.)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(in[0], STDIN_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(errorFd, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  (void)!write(in[1], input.data(), input.size());
  close(in[1]);
  int status = 0;
  rusage usage{};
  bool waited = false;
  while (pid > 0 && !waited) {
    waited = wait4(pid, &status, 0, &usage) == pid;
    if (!waited && errno != EINTR) break;
    if (!waited && stopRequested != 0) kill(pid, SIGKILL);
  }
  sample.seconds = secondsSince(start);
  sample.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  sample.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  close(errorFd);
  errors = readFile(errorPath);
  unlink(errorPath);
  return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string loadAverage() {
  std::istringstream text(readFile("/proc/loadavg"));
  std::string one;
  text >> one;
  return one;
}

// OpenSSH's server inside the link's server namespace, logging in the shared test server's user
// with its client key; a host key of its own.
class LinkServer {
public:
  LinkServer(LinkEmulator& link, SshServer& shared) {
    char pattern[] = "/tmp/ferrix-link-sshd-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    directory_ = pattern;
    chmod(directory_.c_str(), 0755);
    const std::string hostKey = directory_ + "/host_ed25519";
    if (runProgram("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", hostKey}) != 0) return;
    std::string listing;
    runProgram("/usr/bin/ssh-keygen", {"-l", "-E", "sha256", "-f", hostKey + ".pub"}, "", &listing);
    std::istringstream fields(listing);
    std::string bits;
    fields >> bits >> fingerprint_;
    writeFile(directory_ + "/authorized_keys", readFile(shared.publicKeyPath()));
    std::ostringstream config;
    config << "ListenAddress " << LinkEmulator::kServerAddress << ":" << kSshPort << "\n"
           << "HostKey " << hostKey << "\n"
           << "PidFile none\n"
           << "AuthorizedKeysFile " << directory_ << "/authorized_keys\n"
           << "StrictModes no\n"
           << "UsePAM no\n"
           << "PubkeyAuthentication yes\n"
           << "PasswordAuthentication no\n"
           << "KbdInteractiveAuthentication no\n"
           << "PermitRootLogin no\n"
           << "Ciphers " << kCipher << "\n"
           << "MACs " << kMac << "\n"
           << "MaxStartups 100\n"
           << "MaxSessions 64\n"
           // A session whose link is gone (the bench killed) ends, and with it the namespace.
           << "ClientAliveInterval 2\n"
           << "ClientAliveCountMax 3\n"
           << "Subsystem sftp internal-sftp\n"
           << "LogLevel ERROR\n";
    const std::string configPath = directory_ + "/sshd_config";
    const std::string logPath = directory_ + "/sshd.log";
    writeFile(configPath, config.str());
    pid_ = link.spawn(LinkEmulator::Side::kServer, [&] {
      int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      dup2(log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
      execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-e", "-f", configPath.c_str(), static_cast<char*>(nullptr));
      return 127;
    }, true);
  }
  LinkServer(const LinkServer&) = delete;
  LinkServer& operator=(const LinkServer&) = delete;
  ~LinkServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    if (!directory_.empty()) fs::remove_all(directory_, ignored);
  }

  // Waits until sshd accepts, from the calling thread's namespace (the client's).
  [[nodiscard]] bool listening() const {
    for (int attempt = 0; attempt < 100 && pid_ > 0; ++attempt) {
      int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(kSshPort);
      inet_pton(AF_INET, LinkEmulator::kServerAddress, &a.sin_addr);
      const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      close(s);
      if (ok) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  [[nodiscard]] const std::string& fingerprint() const { return fingerprint_; }
  [[nodiscard]] std::string log() const { return readFile(directory_ + "/sshd.log"); }

private:
  std::string directory_;
  std::string fingerprint_;
  pid_t pid_ = -1;
};

enum class Tool { kFerrix, kFerrixOneStream, kSftp, kScp, kRclone };

struct Method {
  Tool tool;
  const char* name;
};

struct Scenario {
  const char* name;
  const char* key;
  std::chrono::microseconds oneWay;
  double loss;
  bool tree;
  std::size_t bytes;  // the file's size, or each file's in a tree
};

struct Context {
  std::string user;
  std::string key;
  std::string fingerprint;
  std::string rcloneConfig;
  std::string host = LinkEmulator::kServerAddress;
};

// The whole command a user would type to move `from` to `to` with one tool, and its standard input.
std::vector<std::string> command(const Context& c, Tool tool, bool upload, bool tree, const std::string& from,
                                 const std::string& to, std::string& input) {
  const std::string target = c.user + "@" + c.host;
  const std::vector<std::string> openssh{"-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                                         "-o", "BatchMode=yes", "-o", std::string("Ciphers=") + kCipher,
                                         "-o", std::string("MACs=") + kMac, "-o", "LogLevel=ERROR",
                                         "-i", c.key};
  input.clear();
  std::vector<std::string> words;
  switch (tool) {
    case Tool::kFerrix:
    case Tool::kFerrixOneStream: {
      words = {FERRIX_COMMAND, "-P", std::to_string(kSshPort), "-i", c.key, "--fingerprint", c.fingerprint};
      if (tool == Tool::kFerrixOneStream) words.insert(words.end(), {"--streams", "1"});
      words.insert(words.end(), {target, upload ? "put" : "get"});
      if (tree) words.emplace_back("-r");
      words.insert(words.end(), {from, to});
      return words;
    }
    case Tool::kSftp:
      words = {"/usr/bin/sftp", "-q", "-P", std::to_string(kSshPort)};
      words.insert(words.end(), openssh.begin(), openssh.end());
      words.insert(words.end(), {"-b", "-", target});
      input = std::string(upload ? "put" : "get") + (tree ? " -r " : " ") + from + " " + to + "\n";
      return words;
    case Tool::kScp:
      words = {"/usr/bin/scp", "-q", "-P", std::to_string(kSshPort)};
      words.insert(words.end(), openssh.begin(), openssh.end());
      if (tree) words.emplace_back("-r");
      words.push_back(upload ? from : target + ":" + from);
      words.push_back(upload ? target + ":" + to : to);
      return words;
    case Tool::kRclone: {
      // An on-the-fly remote: no configuration file of the user's is read or written.
      const std::string remote = ":sftp,host=" + c.host + ",port=" + std::to_string(kSshPort) + ",user=" + c.user +
                                 ",key_file=" + c.key + ":";
      words = {"/usr/bin/rclone", "--config", c.rcloneConfig, "-q", tree ? "copy" : "copyto"};
      words.push_back(upload ? from : remote + from);
      words.push_back(upload ? remote + to : to);
      return words;
    }
  }
  return words;
}

struct Cell {
  std::vector<Sample> samples;
  int failures = 0;
};

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t sizeMiB = 128;
  // As large as the size from which ferrix splits a file over its streams by default.
  std::size_t lossSizeMiB = 64;
  int runs = 3;
  int files = 200;
  std::size_t fileKiB = 4;
  bool capacityOnly = false;
  int mtu = 1500;
  std::string congestion;
  std::vector<std::string> onlyRows;
  std::vector<std::string> onlyTools;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool value = i + 1 < argc;
    if (arg == "--size" && value) {
      sizeMiB = static_cast<std::size_t>(std::atol(argv[++i]));
    } else if (arg == "--loss-size" && value) {
      lossSizeMiB = static_cast<std::size_t>(std::atol(argv[++i]));
    } else if (arg == "--runs" && value) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--files" && value) {
      files = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--row" && value) {
      onlyRows.emplace_back(argv[++i]);
    } else if (arg == "--tool" && value) {
      onlyTools.emplace_back(argv[++i]);
    } else if (arg == "--mtu" && value) {
      mtu = std::atoi(argv[++i]);
    } else if (arg == "--congestion" && value) {
      congestion = argv[++i];
    } else if (arg == "--capacity-only") {
      capacityOnly = true;
    } else {
      std::printf("usage: ferrix_link_bench [--size MIB (default 128)]\n"
                  "                         [--loss-size MIB (the lossy row's, default 64)]\n"
                  "                         [--runs N (default 3)] [--files N (the tree's, default 200)]\n"
                  "                         [--row 1ms|20ms|50ms|20ms-loss|tree]... "
                  "[--tool ferrix|ferrix-1|sftp|scp|rclone]...\n"
                  "                         [--mtu BYTES (default 1500)] [--congestion NAME (default: the "
                  "machine's)] [--capacity-only]\n"
                  "Needs root: it makes two network namespaces and tun devices of its own.\n");
      return arg == "--help" || arg == "-h" ? 0 : 1;
    }
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "ferrix_link_bench: needs root\n");
    return 1;
  }
  struct sigaction stop {};
  stop.sa_handler = requestStop;  // no SA_RESTART: a wait in progress returns
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &stop, nullptr);
  const std::string loadBefore = loadAverage();
  auto chosen = [](const std::vector<std::string>& only, const std::string& key) {
    return only.empty() || std::find(only.begin(), only.end(), key) != only.end();
  };

  // The emulator first, while this process is single-threaded and in its own namespace.
  LinkEmulator link(mtu);
  if (!link.ready()) {
    std::fprintf(stderr, "ferrix_link_bench: link emulator: %s\n", link.why().c_str());
    return 1;
  }
  if (!congestion.empty() && !link.setCongestionControl(congestion)) {
    std::fprintf(stderr, "ferrix_link_bench: congestion control %s refused\n", congestion.c_str());
    return 1;
  }
  const Scenario scenarios[] = {
      {"1 ms", "1ms", std::chrono::microseconds(500), 0, false, sizeMiB * kMiB},
      {"20 ms", "20ms", std::chrono::microseconds(10000), 0, false, sizeMiB * kMiB},
      {"50 ms", "50ms", std::chrono::microseconds(25000), 0, false, sizeMiB * kMiB},
      {"20 ms, 0.5% loss", "20ms-loss", std::chrono::microseconds(10000), 0.005, false, lossSizeMiB * kMiB},
      {"20 ms, tree", "tree", std::chrono::microseconds(10000), 0, true, fileKiB * 1024},
  };

  // What the link itself carries: one plain TCP connection per shape.
  const std::string congestionUsed = link.congestionControl();
  std::printf("Link emulator capacity: one TCP connection, client namespace to server namespace, %lld ms each; MTU %d, "
              "TCP congestion control %s\n\n",
              static_cast<long long>(kCapacityRun.count()), mtu, congestionUsed.c_str());
  std::printf("| round trip | loss | TCP MB/s | connect ms | forwarder CPU s per s | packets (out / back) | dropped "
              "(out / back) |\n|---|---|---|---|---|---|---|\n");
  for (const Scenario& s : scenarios) {
    if (s.tree) continue;
    link.shape(s.oneWay, s.loss);
    const LinkEmulator::Capacity c = link.capacity(kCapacityRun);
    std::printf("| %s | %.1f%% | %.1f | %.2f | %.2f | %llu / %llu | %llu / %llu |\n", s.name, s.loss * 100,
                c.megabytesPerSecond, c.connectMilliseconds,
                c.forwarderCpuSeconds / (static_cast<double>(kCapacityRun.count()) / 1000),
                static_cast<unsigned long long>(c.counters.forwarded[0]),
                static_cast<unsigned long long>(c.counters.forwarded[1]),
                static_cast<unsigned long long>(c.counters.lost[0] + c.counters.overflowed[0]),
                static_cast<unsigned long long>(c.counters.lost[1] + c.counters.overflowed[1]));
    std::fflush(stdout);
  }
  if (capacityOnly) return 0;

  SshServer& shared = SshServer::shared();  // the test user, its key and scratch directories
  link.shape(std::chrono::microseconds(0), 0);
  LinkServer server(link, shared);
  if (!link.enter(LinkEmulator::Side::kClient)) {
    std::fprintf(stderr, "ferrix_link_bench: cannot enter the client namespace\n");
    return 1;
  }
  // From here on every command this process starts runs in the client namespace.
  if (!server.listening()) {
    std::fprintf(stderr, "ferrix_link_bench: sshd does not listen in the server namespace\n%s", server.log().c_str());
    return 1;
  }
  Context context;
  context.user = shared.user();
  context.key = shared.privateKeyPath();
  context.fingerprint = server.fingerprint();
  const std::string local = shared.localDirectory() + "/link";
  const std::string remote = shared.newRemoteDirectory("link");
  std::error_code ignored;
  fs::create_directories(local, ignored);
  context.rcloneConfig = local + "/rclone.conf";
  writeFile(context.rcloneConfig, "");

  std::string help;
  runProgram(FERRIX_COMMAND, {"--help"}, "", &help);
  std::vector<Method> methods{{Tool::kFerrix, "ferrix"}};
  if (help.find("--streams") != std::string::npos) methods.push_back({Tool::kFerrixOneStream, "ferrix --streams 1"});
  methods.push_back({Tool::kSftp, "sftp"});
  methods.push_back({Tool::kScp, "scp"});
  if (fs::exists("/usr/bin/rclone")) methods.push_back({Tool::kRclone, "rclone sftp"});
  const char* toolKeys[] = {"ferrix", "ferrix-1", "sftp", "scp", "rclone"};
  std::erase_if(methods, [&](const Method& m) { return !chosen(onlyTools, toolKeys[static_cast<int>(m.tool)]); });

  // What wait4 reports for a command that does nothing: the floor under every peak below.
  Sample floor;
  {
    std::string errors;
    timedRun({"/bin/true"}, "", floor, errors);
  }

  struct Row {
    const Scenario* scenario;
    bool upload;
    std::vector<Cell> cells;
  };
  std::vector<Row> rows;
  bool verified = true;
  LinkEmulator::Counters counters[std::size(scenarios)];
  for (std::size_t si = 0; si < std::size(scenarios); ++si) {
    const Scenario& s = scenarios[si];
    if (!chosen(onlyRows, s.key) || stopRequested != 0) continue;
    link.shape(s.oneWay, s.loss);
    // The source on each side: one file, or a tree of small files in a few directories.
    const std::string localSource = local + "/source";
    const std::string remoteSource = remote + "/source";
    fs::remove_all(localSource, ignored);
    fs::remove_all(remoteSource, ignored);
    if (s.tree) {
      for (int i = 0; i < files; ++i) {
        const std::string dir = localSource + "/d" + std::to_string(i % 10);
        fs::create_directories(dir, ignored);
        verified &= makeSource(dir + "/f" + std::to_string(i), s.bytes, static_cast<std::uint64_t>(i));
      }
    } else {
      verified &= makeSource(localSource, s.bytes, si);
    }
    fs::copy(localSource, remoteSource, fs::copy_options::recursive, ignored);
    shared.giveToUser(remoteSource);
    for (const auto& entry : fs::recursive_directory_iterator(remoteSource, ignored)) {
      shared.giveToUser(entry.path());
    }
    Row rowUp{&s, true, std::vector<Cell>(methods.size())};
    Row rowDown{&s, false, std::vector<Cell>(methods.size())};
    for (int run = 0; run < runs && stopRequested == 0; ++run) {
      for (std::size_t k = 0; k < methods.size() && stopRequested == 0; ++k) {
        // Each run starts with a different tool, so that no tool always follows the same one.
        const std::size_t m = (k + static_cast<std::size_t>(run)) % methods.size();
        for (bool upload : {true, false}) {
          const std::string from = upload ? localSource : remoteSource;
          const std::string to = upload ? remote + "/copy" : local + "/copy";
          fs::remove_all(to, ignored);
          std::string input;
          const auto words = command(context, methods[m].tool, upload, s.tree, from, to, input);
          Sample sample;
          std::string errors;
          const bool ok = timedRun(words, input, sample, errors) && sameTree(from, to);
          if (stopRequested != 0) break;
          Cell& cell = (upload ? rowUp : rowDown).cells[m];
          if (ok) {
            cell.samples.push_back(sample);
          } else {
            ++cell.failures;
            verified = false;
            std::fprintf(stderr, "ferrix_link_bench: %s %s %s failed: %s\n", s.name, methods[m].name,
                         upload ? "up" : "down", errors.c_str());
          }
          fs::remove_all(to, ignored);
        }
      }
    }
    link.shape(s.oneWay, s.loss, &counters[si]);
    rows.push_back(std::move(rowUp));
    rows.push_back(std::move(rowDown));
    std::fprintf(stderr, "ferrix_link_bench: %s done (load %s)\n", s.name, loadAverage().c_str());
  }

  char date[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::printf("\nFerrix on shaped links, %s, %ld cores (shared), load average %s before, %s after\n", date,
              sysconf(_SC_NPROCESSORS_ONLN), loadBefore.c_str(), loadAverage().c_str());
  std::printf("Files: %zu MiB (%zu MiB on the lossy row); tree: %d files of %zu KiB in 10 directories. sshd (OpenSSH) "
              "in one namespace, clients in the other, %s / %s for all; whole commands, %d interleaved runs; "
              "median (min-max)\n\n",
              sizeMiB, lossSizeMiB, files, fileKiB, kCipher, kMac, runs);
  std::printf("| link | way | tool | MB/s (files/s for the tree) | range | / sftp | client CPU s/GiB (s per tree) | "
              "peak MiB |\n|---|---|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    const Scenario& s = *row.scenario;
    const double total = s.tree ? static_cast<double>(files) : static_cast<double>(s.bytes) / 1e6;
    const double gib = s.tree ? 1.0 : static_cast<double>(s.bytes) / static_cast<double>(1u << 30);
    std::vector<double> sftpRates;
    for (std::size_t m = 0; m < methods.size(); ++m) {
      if (methods[m].tool != Tool::kSftp) continue;
      for (const Sample& x : row.cells[m].samples) sftpRates.push_back(total / x.seconds);
    }
    const double sftpMedian = median(sftpRates);
    for (std::size_t m = 0; m < methods.size(); ++m) {
      const Cell& cell = row.cells[m];
      std::vector<double> rates;
      std::vector<double> cpus;
      double peak = 0;
      for (const Sample& x : cell.samples) {
        rates.push_back(total / x.seconds);
        cpus.push_back(x.cpuSeconds / gib);
        peak = std::max(peak, x.peakMiB);
      }
      const double rate = median(rates);
      std::string failed;
      if (cell.failures > 0) failed = std::string(" ").append(std::to_string(cell.failures)).append(" failed |");
      std::printf("| %s | %s | %s | %.1f | %.1f-%.1f | %.2fx | %.2f | %.1f |%s\n", s.name, row.upload ? "up" : "down",
                  methods[m].name, rate, rates.empty() ? 0 : *std::min_element(rates.begin(), rates.end()),
                  rates.empty() ? 0 : *std::max_element(rates.begin(), rates.end()),
                  sftpMedian > 0 ? rate / sftpMedian : 0, median(cpus), peak,
                  failed.c_str());
    }
  }
  std::printf("\nPeak memory is wait4's ru_maxrss of the whole command; /bin/true started the same way shows %.1f MiB "
              "(the floor).\n",
              floor.peakMiB);
  std::printf("\nForwarder per row (packets client to server / server to client): dropped on purpose, dropped for "
              "want of room\n");
  for (std::size_t si = 0; si < std::size(scenarios); ++si) {
    if (!chosen(onlyRows, scenarios[si].key)) continue;
    const auto& c = counters[si];
    std::printf("  %s: forwarded %llu / %llu, lost %llu / %llu, overflowed %llu / %llu, forwarder CPU %.1f s\n",
                scenarios[si].name, static_cast<unsigned long long>(c.forwarded[0]),
                static_cast<unsigned long long>(c.forwarded[1]), static_cast<unsigned long long>(c.lost[0]),
                static_cast<unsigned long long>(c.lost[1]), static_cast<unsigned long long>(c.overflowed[0]),
                static_cast<unsigned long long>(c.overflowed[1]), c.cpuSeconds);
  }
  std::printf("copies verified file for file: %s%s\n", verified ? "yes" : "NO",
              stopRequested != 0 ? " (stopped by a signal: rows incomplete)" : "");
  link.leave();
  return verified ? 0 : 1;
}
