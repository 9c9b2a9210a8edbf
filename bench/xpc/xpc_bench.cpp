// Round trip of a ready check (request to callback) against a raw Unix-socket echo measured in the
// same run, and the cost of admitting a 10 MiB client.
//   xpc_bench [ITERATIONS]
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

#include "client/ZEBClientConnection.h"
#include "platform/xpc/Connection.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/NullClient.h"

using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

// Each answer sends the next request from the connection's own thread, as a client that chains
// its requests would: a round trip is request to callback, nothing more.
class ReadyCounter final : public zebtest::NullClient {
 public:
  ZEBPrivilegedDaemonProtocol* daemon = nullptr;
  long target = 0;
  void helperReadyWithVersion(const std::string&) override {
    std::lock_guard lock(m);
    if (++count < target) daemon->performReadyCheck();
    else cv.notify_all();
  }
  void waitFor(long n) {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return count >= n; });
  }

 private:
  std::mutex m;
  std::condition_variable cv;
  long count = 0;
};

// A Unix-socket echo server on its own thread, and the client side's round trip.
double rawEchoMicros(int iterations) {
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
  std::thread echo([fd = sv[1]] {
    char buf[64];
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      if (write(fd, buf, static_cast<size_t>(n)) != n) break;
    }
  });
  const char msg[24] = "performReadyCheck.....";
  char buf[64];
  const auto start = steady_clock::now();
  for (int i = 0; i < iterations; ++i) {
    if (write(sv[0], msg, sizeof msg) != sizeof msg) break;
    size_t got = 0;
    while (got < sizeof msg) {
      const ssize_t n = read(sv[0], buf, sizeof buf);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  const double us = duration<double, std::micro>(steady_clock::now() - start).count() / iterations;
  close(sv[0]);
  echo.join();
  close(sv[1]);
  return us;
}

int measure(const std::string& socket, int iterations) {
  const double raw = rawEchoMicros(iterations);
  ReadyCounter counter;
  auto conn = ZEBClientConnection::connect(socket, counter);
  if (!conn.ok()) {
    std::fprintf(stderr, "connect: %s\n", conn.error().localizedDescription().c_str());
    return 1;
  }
  counter.daemon = &(*conn)->daemon();
  counter.target = iterations;
  const auto start = steady_clock::now();
  (*conn)->daemon().performReadyCheck();
  counter.waitFor(iterations);
  const double ready = duration<double, std::micro>(steady_clock::now() - start).count() / iterations;
  std::printf("raw Unix-socket echo      %8.2f us/round trip\n", raw);
  std::printf("ready check round trip    %8.2f us/round trip   ratio %.2fx (goal: within 3x)\n", ready, ready / raw);
  return 0;
}

// Admission: connect until the daemon's challenge arrives (the daemon admits before it speaks).
int admission(const std::string& socket, int iterations) {
  double first = 0, total = 0;
  for (int i = 0; i < iterations; ++i) {
    const auto start = steady_clock::now();
    auto conn = zeb::xpc::Connection::connect(socket, {}, seconds(10));
    const double us = duration<double, std::micro>(steady_clock::now() - start).count();
    if (!conn.ok()) {
      std::fprintf(stderr, "admission failed: %s\n", conn.error().localizedDescription().c_str());
      return 1;
    }
    (*conn)->invalidate();
    if (i == 0) first = us;
    else total += us;
  }
  std::printf("admission, 10 MiB client  %8.2f us first (hashing), %.2f us after (goal: under 2000)\n", first,
              total / (iterations - 1));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--measure") == 0) return measure(argv[2], std::atoi(argv[3]));
  if (argc >= 4 && std::strcmp(argv[1], "--admission") == 0) return admission(argv[2], std::atoi(argv[3]));
  if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::puts("usage: xpc_bench [ITERATIONS]\n  ready-check round trip vs raw socket echo, and admission cost");
    return 0;
  }
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 20000;
  zebtest::DaemonHarness daemon;
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string client = daemon.signedCopy(self, "com.orvel.tessel.VellumDrift", {}, "bench-client");
  auto r = zebtest::run({client, "--measure", daemon.socketPath(), std::to_string(iterations)}, seconds(600));
  std::fputs(r.out.c_str(), stdout);
  std::fputs(r.err.c_str(), stderr);

  // A client padded to 10 MiB, signed over all of it.
  const std::string big = daemon.dir() + "/big-client";
  fs::copy_file(self, big);
  { std::ofstream(big, std::ios::app | std::ios::binary) << std::string(10u << 20, '\0'); }
  const std::string bigSigned = daemon.signedCopy(big, "com.orvel.tessel.VellumDrift", {}, "big-signed");
  r = zebtest::run({bigSigned, "--admission", daemon.socketPath(), "200"}, seconds(600));
  std::fputs(r.out.c_str(), stdout);
  std::fputs(r.err.c_str(), stderr);
  return r.status;
}
