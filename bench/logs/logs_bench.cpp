// The system log archive of a 200 MiB log family, request to answer, against running zip by hand on
// the same folder (what the daemon can't avoid doing). Goal: within twice the reference.
//   logs_bench [MIB] [ROUNDS]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "tests/support/DaemonHarness.h"

using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

// Log-like text: repeated shapes with varying numbers, names and pids, so zip has real work.
void writeFamily(const std::string& logDir, std::size_t mib) {
  static const char* const kProcesses[] = {"kernel", "sshd", "cron", "systemd", "dbus-daemon", "NetworkManager"};
  std::mt19937_64 random(2015);
  const std::size_t perFile = 8u << 20;
  std::size_t written = 0;
  for (int n = 0; written < (mib << 20); ++n) {
    const std::string name = n == 0 ? "system.log" : "system.log." + std::to_string(n - 1);
    std::ofstream out(logDir + "/" + name, std::ios::binary);
    std::string chunk;
    while (chunk.size() < perFile) {
      const auto r = random();
      char line[200];
      const int len = std::snprintf(line, sizeof line, "Mar %2d %02d:%02d:%02d host %s[%u]: event %llx state %u\n",
                                    static_cast<int>(r % 28 + 1), static_cast<int>(r >> 8 & 15),
                                    static_cast<int>(r >> 16 & 63) % 60, static_cast<int>(r >> 24 & 63) % 60,
                                    kProcesses[(r >> 32) % 6], static_cast<unsigned>(r >> 40 & 0xffff),
                                    static_cast<unsigned long long>(random() & 0xffffffffff),
                                    static_cast<unsigned>(r >> 56));
      chunk.append(line, static_cast<std::size_t>(len));
    }
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    written += chunk.size();
  }
}

double secondsOf(steady_clock::duration d) { return duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  zebtest::DaemonHarness d;
  const std::string logDir = d.rootDir() + "/var/log";
  fs::create_directories(logDir);
  writeFamily(logDir, mib);
  const std::string dest = d.dir() + "/dest";
  fs::create_directories(dest);

  double daemonBest = 1e9, zipBest = 1e9;
  for (int round = 0; round < rounds; ++round) {
    const auto t0 = steady_clock::now();
    const zebtest::ProcessResult r = d.zebctl({"syslogs", dest}, std::chrono::seconds(600));
    const auto t1 = steady_clock::now();
    if (r.status != 0 || r.out.find("\"filePath\":\"" + dest) == std::string::npos) {
      std::fprintf(stderr, "the daemon did not archive: %s%s\n%s", r.out.c_str(), r.err.c_str(), d.log().c_str());
      return 1;
    }
    daemonBest = std::min(daemonBest, secondsOf(t1 - t0));
    for (const auto& e : fs::directory_iterator(dest)) fs::remove(e.path());

    const std::string archive = d.dir() + "/by-hand.zip";
    const auto t2 = steady_clock::now();
    const zebtest::ProcessResult z =
        zebtest::run({"/bin/sh", "-c", "cd '" + d.rootDir() + "/var' && /usr/bin/zip -q -r -y '" + archive + "' log"},
                     std::chrono::seconds(600));
    const auto t3 = steady_clock::now();
    if (z.status != 0) {
      std::fprintf(stderr, "zip by hand failed: %s\n", z.err.c_str());
      return 1;
    }
    zipBest = std::min(zipBest, secondsOf(t3 - t2));
    fs::remove(archive);
  }
  double load[3] = {};
  ::getloadavg(load, 3);
  std::printf("%zu MiB system log family, best of %d, load %.2f\n", mib, rounds, load[0]);
  std::printf("  daemon, syslogs request to answer: %.2f s\n", daemonBest);
  std::printf("  zip -q -r -y by hand:              %.2f s\n", zipBest);
  std::printf("  ratio daemon / zip: %.2f (goal: at most 2)\n", daemonBest / zipBest);
  return 0;
}
