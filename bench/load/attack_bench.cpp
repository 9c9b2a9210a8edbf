// Honest clients beside a hostile local user. The same 8 honest clients (root's; the last of them
// measures) run against a quiet daemon, then against one that an attacker of another uid works on
// with each attack at once: a burst of 40 tool requests (four of them 100 MB samples), eight 1 GiB
// copies of a signed client with its signature block appended retrying admission, 8 idle admitted
// connections and more, a copy request naming one log file 1,024 ways, and 1 MiB frames of 32,000
// keys. Printed: the honest ready-check round trip (p50, p99) and admission time in both runs and
// their ratio, answers lost, and the daemon's peak memory, descriptors and threads.
//   attack_bench [READY_CHECKS]   (default 2000 per honest client)
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/ZEBClientConnection.h"
#include "protocol/ValueCodec.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/NullClient.h"
#include "tests/support/RawClient.h"

using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

constexpr int kHonestClients = 8;
constexpr const char* kAttacker = "zebbench-evil";

// Counts ready answers and the measuring client's own probes (privileges: nobody else asks for them).
class Counter final : public zebtest::NullClient {
 public:
  std::mutex m;
  std::condition_variable cv;
  long ready = 0, probes = 0;
  void helperReadyWithVersion(const std::string&) override {
    std::lock_guard lock(m);
    ++ready;
    cv.notify_all();
  }
  void logMessage(const std::string&) override {
    std::lock_guard lock(m);
    ++probes;
    cv.notify_all();
  }
};

long statusField(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

long entries(const std::string& dir) {
  std::error_code ec;
  long n = 0;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++n;
  return n;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

struct Measured {
  std::vector<double> roundTripMicros;
  std::vector<double> admissionMillis;
  long lost = 0;
};

// The honest side, in a signed process: 7 clients load the daemon with ready checks while the 8th,
// admitted last, measures its own round trips; admission is timed by new connections that leave
// again before the measuring client is admitted.
int honest(const std::string& socket, int readyChecks) {
  Measured m;
  for (int i = 0; i < 5; ++i) {
    zebtest::NullClient ignore;
    const auto t0 = steady_clock::now();
    auto c = ZEBClientConnection::connect(socket, ignore);
    if (!c.ok()) return 10;
    m.admissionMillis.push_back(duration<double, std::milli>(steady_clock::now() - t0).count());
    (*c)->connection()->invalidate();
  }
  std::vector<Counter> counters(kHonestClients);
  std::vector<std::unique_ptr<ZEBClientConnection>> conns;
  for (auto& counter : counters) {
    auto c = ZEBClientConnection::connect(socket, counter);
    if (!c.ok()) return 11;
    conns.push_back(std::move(*c));
  }
  std::this_thread::sleep_for(milliseconds(200));
  Counter& latest = counters.back();
  std::vector<std::thread> load;
  for (int i = 0; i + 1 < kHonestClients; ++i)
    load.emplace_back([&, i] {
      for (int k = 0; k < readyChecks; ++k) conns[static_cast<std::size_t>(i)]->daemon().performReadyCheck();
    });
  const long expected = static_cast<long>(kHonestClients - 1) * readyChecks;
  for (int k = 0; k < 300; ++k) {
    const auto t0 = steady_clock::now();
    conns.back()->daemon().showPrivileges();
    std::unique_lock lock(latest.m);
    if (!latest.cv.wait_for(lock, seconds(30), [&] { return latest.probes > k; })) ++m.lost;
    m.roundTripMicros.push_back(duration<double, std::micro>(steady_clock::now() - t0).count());
  }
  for (auto& t : load) t.join();
  {
    std::unique_lock lock(latest.m);
    latest.cv.wait_for(lock, seconds(60), [&] { return latest.ready >= expected; });
    m.lost += expected - latest.ready;
  }
  std::printf("%.0f %.0f %.1f %.1f %ld\n", percentile(m.roundTripMicros, 0.5), percentile(m.roundTripMicros, 0.99),
              percentile(m.admissionMillis, 0.5), percentile(m.admissionMillis, 1.0), m.lost);
  std::fflush(stdout);
  for (auto& c : conns) c->connection()->invalidate();
  return 0;
}

// The attacker's admitted side, in a signed process of the attacker's uid. Everything it connects is
// connected before the honest clients: answers go to the latest admitted client, so an attacker
// admitted later would simply receive (and by leaving, lose) everyone's answers, as the service
// defines. Says "ready" once connected; then attacks until the file `stop` exists.
int attack(const std::string& socket, const std::string& ownDir, const std::string& stop) {
  zebtest::NullClient ignore;
  std::vector<std::unique_ptr<ZEBClientConnection>> held;
  for (int i = 0; i < 4; ++i) {
    auto c = ZEBClientConnection::connect(socket, ignore, seconds(5));
    if (c.ok()) held.push_back(std::move(*c));
  }
  // Connections for 1 MiB frames of 32,000 keys; the daemon drops each after its frame.
  std::vector<int> framers;
  for (int i = 0; i < 4; ++i) {
    const int fd = zebtest::rawConnect(socket);
    if (fd >= 0 && zebtest::rawHandshake(fd)) framers.push_back(fd);
  }
  if (held.empty()) return 10;
  std::printf("ready\n");
  std::fflush(stdout);
  auto& d = held.front()->daemon();
  for (int i = 0; i < 40; ++i)
    d.sampleProcessWithPID(static_cast<std::uint64_t>(i), zeb::URL::fileURLWithPath(ownDir + "/s" + std::to_string(i)));
  zeb::Dictionary copies;
  for (int i = 0; i < 1024; ++i) {
    std::string source = "/var/log/";
    for (int k = 0; k < i % 64; ++k) source += "./";
    copies.emplace(source + std::string(i / 64 + 1, '/') + "big.log", zeb::Value(ownDir + "/c" + std::to_string(i)));
  }
  d.copyLogFiles(copies);
  zeb::Dictionary keys;
  for (int i = 0; keys.size() < 32000; ++i) keys.emplace(std::to_string(i) + std::string(18, 'k'), zeb::Value(""));
  const std::string frame = zeb::xpc::encodeFrame(kZEBSelector<&ZEBPrivilegedDaemonProtocol::copyLogFiles>, zeb::Array{zeb::Value(keys)});
  for (int fd : framers) {
    zebtest::writeAll(fd, frame);
    std::this_thread::sleep_for(milliseconds(100));
  }
  while (::access(stop.c_str(), F_OK) != 0) std::this_thread::sleep_for(milliseconds(50));
  return 0;
}

struct Account {
  uid_t uid;
  gid_t gid;
};

Account attacker() {
  if (!::getpwnam(kAttacker)) zebtest::run({"/usr/sbin/useradd", "--system", "-M", "-d", "/nonexistent", "-s", "/usr/sbin/nologin", kAttacker});
  const passwd* p = ::getpwnam(kAttacker);
  if (!p) {
    std::fprintf(stderr, "can't create the user %s\n", kAttacker);
    std::exit(1);
  }
  return {p->pw_uid, p->pw_gid};
}

// Starts `argv` as `who`; with `readyLine`, waits until it prints that line.
pid_t spawnAs(const Account* who, std::vector<std::string> argv, const char* readyLine = nullptr) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(readyLine ? out[1] : null, 1);
    ::dup2(null, 2);
    if (who && (::setgroups(0, nullptr) != 0 || ::setresgid(who->gid, who->gid, who->gid) != 0 ||
                ::setresuid(who->uid, who->uid, who->uid) != 0))
      ::_exit(126);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  char c;
  while (readyLine && line != readyLine && ::read(out[0], &c, 1) == 1) line = c == '\n' ? line : line + c;
  ::close(out[0]);
  return pid;
}

struct Phase {
  double p50 = 0, p99 = 0, admitP50 = 0, admitMax = 0;
  long lost = -1, peakRssKiB = 0, peakFds = 0, peakThreads = 0;
};

Phase runPhase(bool underAttack, const std::string& self, int readyChecks) {
  zebtest::DaemonHarness d({"-ToolTimeLimit", "30"}, false);
  fs::create_directories(d.rootDir() + "/usr/bin");
  std::ofstream(d.rootDir() + "/usr/bin/sample") << "#!/bin/sh\nif [ \"$1\" -lt 4 ]; then head -c 100000000 /dev/zero; fi\nsleep 2\n";
  fs::permissions(d.rootDir() + "/usr/bin/sample", fs::perms(0755));
  fs::create_directories(d.rootDir() + "/var/log");
  std::ofstream(d.rootDir() + "/var/log/big.log") << std::string(1 << 20, 'l');
  d.start();
  const std::string client = d.signedCopy(self, "com.orvel.tessel.VellumDrift", {}, "bench-client");
  const Account evil = attacker();
  const std::string own = d.dir() + "/evil", stop = d.dir() + "/stop";
  fs::create_directories(own);
  if (::chown(own.c_str(), evil.uid, evil.gid) != 0) std::perror(own.c_str());

  std::vector<pid_t> attackers;
  if (underAttack) {
    attackers.push_back(spawnAs(&evil, {client, "--attack", d.socketPath(), own, stop}, "ready"));
    // Eight 1 GiB copies of the signed client: the genuine block appended to a sparse file.
    const std::size_t blockStart = fs::file_size(self);
    std::ifstream in(client, std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(in), {}};
    for (int i = 0; i < 8; ++i) {
      const std::string fake = own + "/fake" + std::to_string(i);
      fs::copy_file(self, fake);
      fs::resize_file(fake, std::uintmax_t{1} << 30);
      std::ofstream(fake, std::ios::app | std::ios::binary) << all.substr(blockStart);
      fs::permissions(fake, fs::perms(0755));
      if (::chown(fake.c_str(), evil.uid, evil.gid) != 0) std::perror(fake.c_str());
      attackers.push_back(spawnAs(&evil, {"/bin/sh", "-c", "while [ ! -e '" + stop + "' ]; do '" + fake +
                                                                 "' --fake '" + d.socketPath() + "'; done"}));
    }
    std::this_thread::sleep_for(seconds(2));
  }

  Phase phase;
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    while (!done) {
      phase.peakRssKiB = std::max(phase.peakRssKiB, statusField(d.pid(), "VmHWM:"));
      phase.peakFds = std::max(phase.peakFds, entries("/proc/" + std::to_string(d.pid()) + "/fd"));
      phase.peakThreads = std::max(phase.peakThreads, entries("/proc/" + std::to_string(d.pid()) + "/task"));
      std::this_thread::sleep_for(milliseconds(20));
    }
  });
  const zebtest::ProcessResult r = zebtest::run({client, "--honest", d.socketPath(), std::to_string(readyChecks)}, seconds(600));
  done = true;
  sampler.join();
  std::ofstream{stop};
  for (pid_t p : attackers) ::waitpid(p, nullptr, 0);
  if (r.status != 0 || std::sscanf(r.out.c_str(), "%lf %lf %lf %lf %ld", &phase.p50, &phase.p99, &phase.admitP50,
                                   &phase.admitMax, &phase.lost) != 5) {
    std::fprintf(stderr, "honest clients failed (%d): %s%s\n", r.status, r.out.c_str(), r.err.c_str());
  }
  return phase;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::puts("usage: attack_bench [READY_CHECKS]   (default 2000 per honest client; run as root)");
    return 0;
  }
  if (argc >= 4 && std::strcmp(argv[1], "--honest") == 0) return honest(argv[2], std::atoi(argv[3]));
  if (argc >= 5 && std::strcmp(argv[1], "--attack") == 0) return attack(argv[2], argv[3], argv[4]);
  if (argc >= 3 && std::strcmp(argv[1], "--fake") == 0) {
    zebtest::NullClient ignore;
    return ZEBClientConnection::connect(argv[2], ignore, seconds(15)).ok() ? 0 : 1;
  }
  if (::geteuid() != 0) {
    std::fputs("attack_bench: run as root (it starts clients as another user)\n", stderr);
    return 2;
  }
  const int readyChecks = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  {
    // What a 1 MiB frame of 32,000 keys costs to decode (and refuse), against a 1 MiB string.
    zeb::Dictionary keys;
    for (int i = 0; keys.size() < 32000; ++i) keys.emplace(std::to_string(i) + std::string(18, 'k'), zeb::Value(""));
    const std::string manyKeys = zeb::xpc::encodeValue(zeb::Value(keys));
    const std::string oneString = zeb::xpc::encodeValue(zeb::Value(std::string(manyKeys.size(), 's')));
    const auto timeDecode = [](const std::string& bytes) {
      const auto t0 = steady_clock::now();
      for (int i = 0; i < 5; ++i) (void)zeb::xpc::decodeValue(bytes);
      return duration<double, std::milli>(steady_clock::now() - t0).count() / 5;
    };
    const double keysMs = timeDecode(manyKeys), stringMs = timeDecode(oneString);
    std::printf("decoding %zu bytes: 32,000 keys %.1f ms, one string %.2f ms (%.0fx)\n\n", manyKeys.size(), keysMs,
                stringMs, stringMs > 0 ? keysMs / stringMs : 0.0);
  }
  const Phase quiet = runPhase(false, self, readyChecks);
  const Phase attacked = runPhase(true, self, readyChecks);
  std::printf("%d honest clients x %d ready checks, quiet daemon then under attack by uid of %s\n\n", kHonestClients,
              readyChecks, kAttacker);
  std::printf("| | quiet | under attack | ratio |\n|---|---|---|---|\n");
  const auto row = [](const char* name, double q, double a, const char* unit) {
    std::printf("| %s | %.1f %s | %.1f %s | %.2fx |\n", name, q, unit, a, unit, q > 0 ? a / q : 0.0);
  };
  row("honest ready check p50", quiet.p50, attacked.p50, "us");
  row("honest ready check p99", quiet.p99, attacked.p99, "us");
  row("honest admission p50", quiet.admitP50, attacked.admitP50, "ms");
  row("honest admission max", quiet.admitMax, attacked.admitMax, "ms");
  row("daemon peak RSS", static_cast<double>(quiet.peakRssKiB) / 1024, static_cast<double>(attacked.peakRssKiB) / 1024, "MiB");
  row("daemon peak descriptors", static_cast<double>(quiet.peakFds), static_cast<double>(attacked.peakFds), "");
  row("daemon peak threads", static_cast<double>(quiet.peakThreads), static_cast<double>(attacked.peakThreads), "");
  std::printf("| honest answers lost | %ld | %ld | |\n", quiet.lost, attacked.lost);
  const bool goal = attacked.lost == 0 && quiet.lost == 0 && attacked.p99 <= 10 * quiet.p99;
  std::printf("\ngoal (p99 under attack within 10x of quiet, nothing lost): %s\n", goal ? "met" : "NOT met");
  return 0;
}
