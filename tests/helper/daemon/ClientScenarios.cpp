#include "tests/helper/daemon/ClientScenarios.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "client/ZEBClientConnection.h"
#include "protocol/ValueCodec.h"
#include "tests/support/NullClient.h"
#include "tests/support/RawClient.h"

namespace zebtest {
namespace {

using namespace std::chrono_literals;

// Counts what arrives; answers nothing.
class Recorder final : public NullClient {
 public:
  std::atomic<int> ready{0};
  std::atomic<int> messages{0};
  void helperReadyWithVersion(const std::string&) override { ++ready; }
  void logMessage(const std::string&) override { ++messages; }
};

// Prints each callback as it arrives: "got SELECTOR" and, for an answer with an error, its code.
class Printer final : public NullClient {
 public:
  void received(const char* selector, const zeb::Array& arguments) override {
    const zeb::Error* error = arguments.size() > 1 ? arguments[1].asError() : nullptr;
    if (error) {
      std::printf("got %s %lld\n", selector, static_cast<long long>(error->code()));
    } else {
      std::printf("got %s\n", selector);
    }
    std::fflush(stdout);
  }
};

bool waitUntil(const std::atomic<int>& v, int atLeast, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (v.load() < atLeast) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string frameWithLength(std::uint32_t len, const std::string& payload) {
  std::string f;
  f.push_back(static_cast<char>(len >> 24));
  f.push_back(static_cast<char>(len >> 16));
  f.push_back(static_cast<char>(len >> 8));
  f.push_back(static_cast<char>(len));
  return f + payload;
}

// The bad inputs a hostile client might send after (or instead of) the handshake.
std::string badPayload(const std::string& kind, bool& handshake) {
  using zeb::Array;
  using zeb::Value;
  handshake = true;
  if (kind == "garbage") return std::string("\xff\xfe\x00garbage bytes that are not a frame\x13\x37", 40);
  if (kind == "oversized") return frameWithLength(64u * 1024 * 1024, "x");
  if (kind == "truncated") return frameWithLength(100, std::string("\x82\x70", 2));
  if (kind == "unknown-selector") return zeb::xpc::encodeFrame("deleteEverything", {});
  if (kind == "wrong-count") return zeb::xpc::encodeFrame(kZEBSelector<&ZEBPrivilegedDaemonProtocol::performReadyCheck>, Array{Value(1)});
  if (kind == "wrong-type")
    return zeb::xpc::encodeFrame(kZEBSelector<&ZEBPrivilegedDaemonProtocol::runSysdiagnoseWithDestination>, Array{Value("/tmp")});
  if (kind == "non-file-url") {
    // Tag 32 around "http://example.invalid/x": a URL that is not a file URL.
    std::string payload = std::string("\x82\x78\x1e") + "runSysdiagnoseWithDestination:" + "\x81\xd8\x20\x78\x18" +
                          "http://example.invalid/x";
    return frameWithLength(static_cast<std::uint32_t>(payload.size()), payload);
  }
  if (kind == "before-echo") {
    handshake = false;
    return zeb::xpc::encodeFrame(kZEBSelector<&ZEBPrivilegedDaemonProtocol::performReadyCheck>, {});
  }
  if (kind == "half-frame") return zeb::xpc::encodeFrame(kZEBSelector<&ZEBPrivilegedDaemonProtocol::performReadyCheck>, {}).substr(0, 6);
  if (kind == "huge-array") {
    // Declares 2^32 elements in a few bytes.
    std::string payload = std::string("\x82\x71", 2) + "performReadyCheck" + std::string("\x9a\xff\xff\xff\xff", 5);
    return frameWithLength(static_cast<std::uint32_t>(payload.size()), payload);
  }
  return {};
}

}  // namespace

int runClientScenario(int argc, char** argv) {
  if (argc < 4 || std::strcmp(argv[1], "--zeb-client") != 0) return -1;
  const std::string scenario = argv[2];
  const std::string socket = argv[3];

  if (scenario == "replace") {
    // A second admitted client receives the answers to the first one's requests.
    Recorder first, second;
    auto a = ZEBClientConnection::connect(socket, first);
    if (!a.ok()) return 10;
    auto b = ZEBClientConnection::connect(socket, second);
    if (!b.ok()) return 11;
    std::this_thread::sleep_for(100ms);
    (*a)->daemon().performReadyCheck();
    if (!waitUntil(second.ready, 1, 10s)) return 12;
    std::this_thread::sleep_for(200ms);
    std::printf("first=%d second=%d\n", first.ready.load(), second.ready.load());
    return first.ready.load() == 0 ? 0 : 13;
  }
  if (scenario == "latest-quits") {
    // The latest client of this uid goes away: an earlier one of the same uid, still open, hears
    // the answer, and the daemon serves on.
    Recorder first, second;
    auto a = ZEBClientConnection::connect(socket, first);
    if (!a.ok()) return 10;
    auto b = ZEBClientConnection::connect(socket, second);
    if (!b.ok()) return 11;
    std::this_thread::sleep_for(100ms);
    (*b)->connection()->invalidate();
    std::this_thread::sleep_for(100ms);
    (*a)->daemon().performReadyCheck();
    return waitUntil(first.ready, 1, 10s) ? 0 : 12;
  }
  if (scenario == "no-read") {
    // Keeps asking and never reads: the daemon's sends fill the socket and time out.
    const int fd = rawConnect(socket);
    if (fd < 0 || !rawHandshake(fd)) return 10;
    const std::string frame = zeb::xpc::encodeFrame(kZEBSelector<&ZEBPrivilegedDaemonProtocol::showPrivileges>, {});
    for (int i = 0; i < 20000; ++i)
      if (!writeAll(fd, frame)) break;
    // Still not reading: wait for the daemon to hang up.
    pollfd p{fd, POLLRDHUP, 0};
    ::poll(&p, 1, 60000);
    return 0;
  }
  if (scenario == "flood") {
    // More connections than the daemon keeps open: the extra ones are closed at once.
    const int count = argc > 4 ? std::atoi(argv[4]) : 80;
    std::vector<int> fds;
    int closedEarly = 0;
    for (int i = 0; i < count; ++i) {
      const int fd = rawConnect(socket);
      if (fd >= 0) fds.push_back(fd);
    }
    for (int fd : fds)
      if (closedByPeer(fd, 20ms)) ++closedEarly;
    std::printf("closed=%d\n", closedEarly);
    for (int fd : fds) ::close(fd);
    return closedEarly > 0 ? 0 : 12;
  }
  if (scenario == "dlopen-ready") {
    // Maps the library argv[4], then asks to be admitted: 0 admitted, 20 refused.
    if (argc < 5 || !::dlopen(argv[4], RTLD_NOW)) return 10;
    Recorder recorder;
    auto c = ZEBClientConnection::connect(socket, recorder, 5s);
    return c.ok() ? 0 : 20;
  }
  if (scenario == "many") {
    // Opens argv[4] connections one after another, says how many were admitted, and holds them
    // until the file argv[5] exists.
    if (argc < 6) return 10;
    const int count = std::atoi(argv[4]);
    std::vector<int> fds;
    int admitted = 0;
    for (int i = 0; i < count; ++i) {
      const int fd = rawConnect(socket);
      if (fd >= 0 && rawHandshake(fd)) ++admitted;
      fds.push_back(fd);
    }
    std::printf("admitted %d\n", admitted);
    std::fflush(stdout);
    for (int i = 0; i < 6000 && ::access(argv[5], F_OK) != 0; ++i) std::this_thread::sleep_for(10ms);
    for (int fd : fds) ::close(fd);
    return 0;
  }
  if (scenario == "raw-hold") {
    // Admitted by hand; says which descriptor holds the connection, then waits for its standard
    // input to close before it exits.
    const int fd = rawConnect(socket);
    if (fd < 0 || !rawHandshake(fd)) return 10;
    // Once answered, the daemon has read everything sent so far.
    if (!writeAll(fd, zeb::xpc::encodeFrame(kZEBSelector<&ZEBPrivilegedDaemonProtocol::performReadyCheck>, {}))) return 11;
    unsigned char header[4];
    if (!readAll(fd, header, 4)) return 12;
    std::string answer((std::size_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3], '\0');
    if (!readAll(fd, answer.data(), answer.size())) return 13;
    std::printf("fd %d\n", fd);
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
  }
  if (scenario == "held") {
    // Stays admitted; once the file argv[4] exists, sends the requests that follow it ("sample PID
    // PATH", "copy SOURCE DESTINATION", "sysdiagnose DIR", "mds DIR", "ready", "stop", "none"), then
    // lingers ("linger SECONDS", default 3) so that the answers can go out. Prints every callback.
    Printer recorder;
    auto c = ZEBClientConnection::connect(socket, recorder);
    if (!c.ok() || argc < 5) return 10;
    std::printf("admitted\n");
    std::fflush(stdout);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (::access(argv[4], F_OK) != 0) {
      if (std::chrono::steady_clock::now() > deadline) return 11;
      std::this_thread::sleep_for(10ms);
    }
    auto linger = 3s;
    for (int i = 5; i < argc;) {
      const std::string what = argv[i];
      if (what == "linger" && i + 1 < argc) {
        linger = std::chrono::seconds(std::atoi(argv[i + 1]));
        i += 2;
      } else if (what == "sample" && i + 2 < argc) {
        // "self" is this client's own process.
        const std::uint64_t pid = std::string_view(argv[i + 1]) == "self" ? static_cast<std::uint64_t>(::getpid())
                                                                         : std::strtoull(argv[i + 1], nullptr, 10);
        (*c)->daemon().sampleProcessWithPID(pid, zeb::URL::fileURLWithPath(argv[i + 2]));
        i += 3;
      } else if (what == "copy" && i + 2 < argc) {
        (*c)->daemon().copyLogFiles(zeb::Dictionary{{argv[i + 1], zeb::Value(argv[i + 2])}});
        i += 3;
      } else if (what == "sysdiagnose" && i + 1 < argc) {
        (*c)->daemon().runSysdiagnoseWithDestination(zeb::URL::fileURLWithPath(argv[i + 1]));
        i += 2;
      } else if (what == "mds" && i + 1 < argc) {
        (*c)->daemon().runMDSDiagnoseWithDestination(zeb::URL::fileURLWithPath(argv[i + 1]));
        i += 2;
      } else if (what == "ready") {
        (*c)->daemon().performReadyCheck();
        ++i;
      } else if (what == "stop") {
        (*c)->daemon().stopDaemon();
        ++i;
      } else {
        ++i;
      }
    }
    std::this_thread::sleep_for(linger);
    // Answers may still arrive on the connection's thread: end without tearing the recorder down under it.
    std::fflush(stdout);
    ::_exit((*c)->sendError() ? 12 : 0);
  }
  if (scenario.rfind("bad:", 0) == 0) {
    bool handshake = true;
    const std::string payload = badPayload(scenario.substr(4), handshake);
    if (payload.empty()) return 9;
    const int fd = rawConnect(socket);
    if (fd < 0) return 10;
    if (handshake && !rawHandshake(fd)) return 11;
    writeAll(fd, payload);
    // Dropped means closed, with nothing answered first.
    return closedByPeer(fd, 40s) ? 0 : 12;
  }
  return 2;
}

}  // namespace zebtest
