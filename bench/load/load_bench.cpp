// Load on the real daemon: 32 clients connected at once, each sending 2,000 ready checks and 20
// tool-running requests. Every callback goes to the latest admitted client, which counts them; a
// privileges probe from that client measures the round trip under load.
//   load_bench [CLIENTS] [READY_CHECKS] [TOOL_RUNS]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/ZEBClientConnection.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/NullClient.h"

using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

class Counter final : public zebtest::NullClient {
 public:
  std::atomic<long> ready{0}, tools{0}, toolErrors{0}, other{0};
  std::mutex m;
  std::condition_variable cv;
  long probes = 0;

  void helperReadyWithVersion(const std::string&) override { ++ready; }
  void logMessage(const std::string&) override {
    std::lock_guard lock(m);
    ++probes;
    cv.notify_all();
  }
  void TMDiagnoseDidFinish(const ZEBResult&, const ZEBOptionalError& e) override {
    ++tools;
    if (e) ++toolErrors;
  }
  void mobilityReportDidFinish(const ZEBResult&, const ZEBOptionalError&) override { ++other; }
  void sysDiagnoseDidFinish(const ZEBResult&, const ZEBOptionalError&) override { ++other; }
  void wifiDiagnoseDidFinish(const ZEBResult&, const ZEBOptionalError&) override { ++other; }
  void sampleProcessDidFinish(const ZEBResult&, const ZEBOptionalError&) override { ++other; }
  void bluetoothDiagnoseDidFinish(const ZEBResult&, const ZEBOptionalError&) override { ++other; }
  void MDSDiagnoseDidFinish(const ZEBResult&, const ZEBOptionalError&) override { ++other; }
  void syslogsDidFinish(const ZEBResult&, const ZEBOptionalError&) override { ++other; }
  void installLogsDidFinish(const ZEBResult&, const ZEBOptionalError&) override { ++other; }
  void copyLogFilesDidFinish(const ZEBResult&, const ZEBOptionalError&) override { ++other; }
};

long rssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

long openDescriptors(pid_t pid) {
  long n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    ++n;
  return n;
}

long threadCount(pid_t pid) {
  std::error_code ec;
  long n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    ++n;
  return n;
}

struct Round {
  double seconds = 0;
  long requests = 0;
  std::vector<double> probeMicros;
  bool exact = false;
};

Round runRound(const std::string& socket, const std::string& dest, int clients, int readyChecks, int toolRuns) {
  std::vector<Counter> counters(static_cast<std::size_t>(clients));
  std::vector<std::unique_ptr<ZEBClientConnection>> conns;
  for (int i = 0; i < clients; ++i) {
    auto c = ZEBClientConnection::connect(socket, counters[static_cast<std::size_t>(i)]);
    if (!c.ok()) {
      std::fprintf(stderr, "client %d: %s\n", i, c.error().localizedDescription().c_str());
      std::exit(1);
    }
    conns.push_back(std::move(*c));
  }
  // Admission is in order; the last connection is the one every callback goes to.
  std::this_thread::sleep_for(milliseconds(200));
  Counter& latest = counters.back();
  const zeb::URL url = zeb::URL::fileURLWithPath(dest);

  Round r;
  const auto start = steady_clock::now();
  std::vector<std::thread> senders;
  for (int i = 0; i < clients; ++i)
    senders.emplace_back([&, i] {
      auto& d = conns[static_cast<std::size_t>(i)]->daemon();
      for (int k = 0; k < readyChecks; ++k) {
        d.performReadyCheck();
        if (toolRuns && k % (readyChecks / toolRuns) == 0) d.runTMDiagnoseWithDestination(url);
      }
    });
  // Round trips of the latest client while the others load the daemon.
  auto& probe = conns.back()->daemon();
  for (int k = 0; k < 300; ++k) {
    const auto t0 = steady_clock::now();
    probe.showPrivileges();
    std::unique_lock lock(latest.m);
    latest.cv.wait(lock, [&] { return latest.probes > k; });
    r.probeMicros.push_back(duration<double, std::micro>(steady_clock::now() - t0).count());
  }
  for (auto& t : senders) t.join();
  const long expectedReady = static_cast<long>(clients) * readyChecks;
  const long expectedTools = static_cast<long>(clients) * toolRuns;
  const auto deadline = steady_clock::now() + seconds(300);
  while ((latest.ready < expectedReady || latest.tools < expectedTools) && steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(5));
  r.seconds = duration<double>(steady_clock::now() - start).count();
  r.requests = expectedReady + expectedTools + 300;
  std::this_thread::sleep_for(milliseconds(300));  // anything extra would show up now
  long elsewhere = 0;
  for (std::size_t i = 0; i + 1 < counters.size(); ++i)
    elsewhere += counters[i].ready + counters[i].tools + counters[i].other;
  r.exact = latest.ready == expectedReady && latest.tools == expectedTools && latest.toolErrors == 0 &&
            latest.other == 0 && elsewhere == 0;
  std::printf("  latest client: %ld ready, %ld tool callbacks (%ld errors), %ld probes; other clients: %ld\n",
              latest.ready.load(), latest.tools.load(), latest.toolErrors.load(), latest.probes, elsewhere);
  for (auto& c : conns) c->connection()->invalidate();
  return r;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::puts("usage: load_bench [CLIENTS] [READY_CHECKS] [TOOL_RUNS]   (defaults 32 2000 20)");
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "--clients") == 0) {
    const int clients = std::atoi(argv[3]), ready = std::atoi(argv[4]), tools = std::atoi(argv[5]);
    const std::string socket = argv[2], dest = argv[6];
    const pid_t daemon = std::atoi(argv[7]);
    bool exact = true;
    // The first round warms the daemon up (allocator arenas, thread stacks); later ones must not grow.
    const int kRounds = std::max(2, std::atoi(std::getenv("ZEB_LOAD_ROUNDS") ? std::getenv("ZEB_LOAD_ROUNDS") : "3"));
    std::vector<long> rss(static_cast<std::size_t>(kRounds) + 1);
    rss[0] = rssKiB(daemon);
    const long fdsBefore = openDescriptors(daemon);
    for (int round = 1; round <= kRounds; ++round) {
      std::printf("round %d:\n", round);
      Round r = runRound(socket, dest, clients, ready, tools);
      rss[static_cast<std::size_t>(round)] = rssKiB(daemon);
      exact = exact && r.exact;
      std::printf("  %ld requests in %.2f s: %.0f requests/s; round trip under load p50 %.0f us, p99 %.0f us\n",
                  r.requests, r.seconds, static_cast<double>(r.requests) / r.seconds, percentile(r.probeMicros, 0.5),
                  percentile(r.probeMicros, 0.99));
    }
    std::printf("daemon memory: %ld KiB at start, then after each round:", rss[0]);
    for (int round = 1; round <= kRounds; ++round) std::printf(" %ld", rss[static_cast<std::size_t>(round)]);
    std::printf(" KiB (last round %+.1f%%)\n",
                100.0 * static_cast<double>(rss.back() - rss[rss.size() - 2]) / static_cast<double>(rss[rss.size() - 2]));
    std::this_thread::sleep_for(milliseconds(500));
    std::printf("daemon descriptors: %ld at start, %ld after; threads after: %ld\n", fdsBefore, openDescriptors(daemon),
                threadCount(daemon));
    std::printf("every request answered exactly once: %s\n", exact ? "yes" : "NO");
    return exact ? 0 : 1;
  }

  const int clients = argc > 1 ? std::atoi(argv[1]) : 32;
  const int ready = argc > 2 ? std::atoi(argv[2]) : 2000;
  const int tools = argc > 3 ? std::atoi(argv[3]) : 20;
  // Every client here is root's: lift the per-user caps so the load is the daemon's, not one user's.
  zebtest::DaemonHarness daemon({"-ConnectionsPerUser", "64", "-ToolsPerUser", "16"}, false);
  // A fast Time Machine tool: one small report in the destination.
  const std::string tool = daemon.rootDir() + "/usr/bin/tmdiagnose";
  fs::create_directories(daemon.rootDir() + "/usr/bin");
  std::ofstream(tool) << "#!/bin/sh\nset -e\nd=\"$4\"\nn=$(mktemp -u XXXXXXXX)\n: > \"$d/load-$n.tmdiagnose\"\n";
  ::chmod(tool.c_str(), 0755);
  daemon.start();
  const std::string dest = "/tmp/zeb-load-" + std::to_string(::getpid());
  fs::create_directories(dest);
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string client = daemon.signedCopy(self, "com.orvel.tessel.VellumDrift", {}, "load-client");
  std::printf("%d clients x (%d ready checks + %d tool runs), in rounds (ZEB_LOAD_ROUNDS, default 3)\n", clients, ready, tools);
  auto r = zebtest::run({client, "--clients", daemon.socketPath(), std::to_string(clients), std::to_string(ready),
                         std::to_string(tools), dest, std::to_string(daemon.pid())},
                        seconds(900));
  std::fputs(r.out.c_str(), stdout);
  std::fputs(r.err.c_str(), stderr);
  fs::remove_all(dest);
  return r.status;
}
