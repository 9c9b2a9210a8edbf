// Faults around the real daemon: bad connections beside working ones, a client that leaves before
// its answer under socket activation, a tool that ignores SIGTERM, the daemon killed while it places
// a report, and destinations on a full disk.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "client/ZEBClientConnection.h"
#include "protocol/ZEBPrivilegedProtocols.h"
#include "protocol/ValueCodec.h"
#include "tests/faults/FaultCount.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/NullClient.h"
#include "tests/support/RawClient.h"

extern char** environ;

namespace zebtest {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;


void tool(DaemonHarness& d, const std::string& path, const std::string& body) {
  const std::string file = d.rootDir() + path;
  fs::create_directories(fs::path(file).parent_path());
  std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
  fs::permissions(file, fs::perms(0755));
}

struct Answer {
  int status = -1;
  json result, error;
  std::string text;
};

Answer answerOf(const ProcessResult& r) {
  Answer a{r.status, nullptr, nullptr, r.out + r.err};
  const json j = json::parse(r.out, nullptr, false);
  if (j.is_object() && j.contains("args") && j["args"].size() == 2) {
    a.result = j["args"][0];
    a.error = j["args"][1];
  }
  return a;
}

// The process state letter from /proc (R, S, T, Z ...), or 0 when the process is gone.
char processState(pid_t pid) {
  const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// ---- client side: run in a signed copy of this binary, `--fault-client NAME SOCKET` ----

class Counter final : public NullClient {
 public:
  std::atomic<int> ready{0};
  std::atomic<int> messages{0};
  void helperReadyWithVersion(const std::string&) override { ++ready; }
  void logMessage(const std::string&) override { ++messages; }
};

// One connection stops half-way through a frame and another turns to garbage while two clients
// keep asking; every answer must reach the current client.
int workBesideBadConnections(const std::string& socket) {
  const std::string ready = zeb::xpc::encodeFrame(kZEBSelector<&ZEBPrivilegedDaemonProtocol::performReadyCheck>, {});
  // The bad ones are admitted first, so that the answers go to a working client.
  const int half = rawConnect(socket);
  if (half < 0 || !rawHandshake(half) || !writeAll(half, ready.substr(0, ready.size() / 2))) return 10;
  const int noisy = rawConnect(socket);
  if (noisy < 0 || !rawHandshake(noisy)) return 11;
  Counter other, current;
  auto a = ZEBClientConnection::connect(socket, other);
  auto b = ZEBClientConnection::connect(socket, current);
  if (!a.ok() || !b.ok()) return 12;

  constexpr int kNoisyValid = 50, kEach = 300;
  for (int i = 0; i < kNoisyValid; ++i) writeAll(noisy, ready);
  if (!waitFor([&] { return current.ready >= kNoisyValid; }, 20s)) return 13;
  std::thread second([&] {
    for (int i = 0; i < kEach; ++i) (*a)->daemon().performReadyCheck();
  });
  std::thread garbage([&] {
    waitFor([&] { return current.ready >= kNoisyValid + kEach / 2; }, 20s);
    writeAll(noisy, std::string("\x00\x00\x00\x10\xff\xfe garbage \x13\x37\x00\x01", 20));
  });
  for (int i = 0; i < kEach; ++i) {
    (*b)->daemon().performReadyCheck();
    (*b)->daemon().showPrivileges();
  }
  second.join();
  garbage.join();
  const int expected = kNoisyValid + 2 * kEach;
  const bool all = waitFor([&] { return current.ready >= expected && current.messages >= kEach; }, 60s);
  std::this_thread::sleep_for(200ms);  // and nothing twice
  std::printf("ready=%d messages=%d other=%d\n", current.ready.load(), current.messages.load(), other.ready.load());
  if (!all || current.ready != expected || current.messages != kEach || other.ready != 0) return 14;
  if (!closedByPeer(noisy, 10s)) return 15;
  if (!closedByPeer(half, 30s)) return 16;  // the frame timeout ends it
  return 0;
}

int runFaultClient(int argc, char** argv) {
  if (argc < 4 || std::strcmp(argv[1], "--fault-client") != 0) return -1;
  if (std::strcmp(argv[2], "work-beside-bad") == 0) return workBesideBadConnections(argv[3]);
  return 2;
}

std::string faultClient(DaemonHarness& d) {
  return d.signedCopy(fs::read_symlink("/proc/self/exe").string(), "com.orvel.tessel.VellumDrift", {}, "fault-client");
}

// ---- tests ----

TEST(BadConnections, HalfFrameAndGarbageWhileOthersWorkLoseNothing) {
  DaemonHarness d({"--frame-timeout", "5"});
  auto r = run({faultClient(d), "--fault-client", "work-beside-bad", d.socketPath()}, 120s);
  faults::inject(2);
  EXPECT_EQ(r.status, 0) << r.out << r.err << d.log();
  EXPECT_EQ(r.out, "ready=650 messages=300 other=0\n");
  EXPECT_EQ(d.zebctl({"ready"}, 10s).status, 0);
  EXPECT_TRUE(d.running());
}

// Holds the listening socket the way a systemd socket unit does and starts the service, through
// systemd-socket-activate, whenever a connection waits and the service is not running.
class SocketUnit {
 public:
  SocketUnit(const std::string& path, std::vector<std::string> service, const std::string& logPath)
      : service_(std::move(service)), logPath_(logPath) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(path.c_str());
    const int on = 1;  // PassCredentials=yes, as in the packaged socket unit
    ::setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 16) != 0)
      throw std::runtime_error("cannot listen on " + path);
    loop_ = std::thread([this] { serve(); });
  }
  ~SocketUnit() {
    stop_ = true;
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    loop_.join();
    ::close(fd_);
  }
  std::vector<int> exits() {
    std::lock_guard lock(m_);
    return exits_;
  }
  int starts() const { return starts_; }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      std::vector<std::string> argv = {"/bin/sh", "-c", "LISTEN_FDS=1 LISTEN_PID=$$ exec /usr/bin/systemd-socket-activate \"$@\"",
                                       "sh"};
      argv.insert(argv.end(), service_.begin(), service_.end());
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      posix_spawn_file_actions_t fa;
      posix_spawn_file_actions_init(&fa);
      posix_spawn_file_actions_adddup2(&fa, fd_, 3);
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&fa, 2, logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      pid_t pid = -1;
      const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
      posix_spawn_file_actions_destroy(&fa);
      if (rc != 0) return;
      pid_ = pid;
      ++starts_;
      int raw = 0;
      ::waitpid(pid, &raw, 0);
      pid_ = -1;
      std::lock_guard lock(m_);
      exits_.push_back(WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw));
    }
  }

  std::vector<std::string> service_;
  std::string logPath_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<pid_t> pid_{-1};
  std::atomic<int> starts_{0};
  std::mutex m_;
  std::vector<int> exits_;
  std::thread loop_;
};

TEST(ClientQuits, MidRequestTheDaemonExits1AndTheNextConnectionStartsItAgain) {
  DaemonHarness d({}, false);
  const std::string dest = d.dir() + "/dest";
  fs::create_directories(dest);
  tool(d, "/usr/bin/tmdiagnose", "sleep 4; echo > \"$4/late.tmdiagnose\"");
  SocketUnit unit(d.socketPath(),
                  {daemonPath(), "--anchors", d.anchorsDir(), "--root", d.rootDir(), "--log-stderr"},
                  d.dir() + "/daemon.log");

  // The first connection starts the daemon. Then a client gives up on its request before the tool ends.
  const ProcessResult first = d.zebctl({"ready"}, 30s);
  EXPECT_EQ(first.status, 0) << first.err << d.log();
  EXPECT_EQ(d.zebctl({"tm", dest}, 2s).status, 3);
  faults::inject();
  ASSERT_TRUE(waitFor([&] { return unit.exits().size() == 1; }, 30s)) << d.log();
  EXPECT_EQ(unit.exits(), std::vector<int>{1});
  EXPECT_TRUE(fs::exists(dest + "/late.tmdiagnose"));
  EXPECT_TRUE(d.waitForLog("privileged helper got an XPC error: "));

  const Answer a = answerOf(d.zebctl({"ready"}, 30s));
  EXPECT_EQ(a.status, 0) << a.text << d.log();
  EXPECT_EQ(a.text, "{\"args\":[\"0.84\"],\"callback\":\"helperReadyWithVersion:\"}\n");
  EXPECT_EQ(unit.starts(), 2);  // and was started for it
  EXPECT_EQ(d.zebctl({"stop"}, 30s).status, 0);
  ASSERT_TRUE(waitFor([&] { return unit.exits().size() == 2; }, 30s));
  EXPECT_EQ(unit.exits(), (std::vector<int>{1, 0}));
}

TEST(StopDaemon, AToolThatIgnoresSIGTERMDoesNotHoldTheDaemon) {
  DaemonHarness d;
  const std::string dest = d.dir() + "/dest";
  fs::create_directories(dest);
  tool(d, "/usr/bin/tmdiagnose", "trap '' TERM; echo $$ > " + d.dir() + "/stubborn.pid; while :; do sleep 0.1; done");
  tool(d, "/usr/bin/mddiagnose", "echo $$ > " + d.dir() + "/plain.pid; while :; do sleep 0.1; done");
  d.client();  // signed once, before two threads ask for it
  // Their clients are told the connection ended, without waiting for their time-out.
  std::jthread tm([&] { EXPECT_EQ(d.zebctl({"tm", dest}, 60s).status, 2); });
  std::jthread mds([&] { EXPECT_EQ(d.zebctl({"mds", dest}, 60s).status, 2); });
  const auto written = [&](const char* name) { return slurp(d.dir() + name).find('\n') != std::string::npos; };
  ASSERT_TRUE(waitFor([&] { return written("/stubborn.pid") && written("/plain.pid"); }, 20s));
  const pid_t stubborn = std::stoi(slurp(d.dir() + "/stubborn.pid"));
  const pid_t plain = std::stoi(slurp(d.dir() + "/plain.pid"));

  EXPECT_EQ(d.zebctl({"stop"}, 30s).status, 0);
  faults::inject();
  EXPECT_EQ(d.waitForExit(10s), 0) << d.log();
  tm.join();
  mds.join();
  EXPECT_TRUE(d.waitForLog("2 tasks running tasks"));
  EXPECT_TRUE(d.waitForLog("Terminating tmdiagnose prematurely"));
  EXPECT_TRUE(d.waitForLog("Terminating mddiagnose prematurely"));
  // The ordinary tool ends; the stubborn one lingers, but running again, not left stopped.
  EXPECT_TRUE(waitFor([&] { const char s = processState(plain); return s == 0 || s == 'Z'; }, 10s));
  std::this_thread::sleep_for(300ms);
  const char state = processState(stubborn);
  EXPECT_TRUE(state == 'S' || state == 'R') << "state " << state;
  ::kill(stubborn, SIGKILL);
}

// Every name a directory shows while a request runs, with the sizes seen under `finalName`.
class DirectoryWatch {
 public:
  DirectoryWatch(std::string dir, std::string finalName) : dir_(std::move(dir)), final_(std::move(finalName)) {
    thread_ = std::thread([this] {
      while (!stop_) {
        std::error_code ec;
        for (auto it = fs::directory_iterator(dir_, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
          const std::string name = it->path().filename();
          std::lock_guard lock(m_);
          names_.insert(name);
          if (name == final_) sizes_.insert(fs::file_size(it->path(), ec));
        }
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  ~DirectoryWatch() { stopNow(); }
  void stopNow() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::set<std::string> names() {
    std::lock_guard lock(m_);
    return names_;
  }
  std::set<std::uintmax_t> sizes() {
    std::lock_guard lock(m_);
    return sizes_;
  }

 private:
  std::string dir_, final_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::set<std::string> names_;
  std::set<std::uintmax_t> sizes_;
  std::thread thread_;
};

std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// True once the process holds a descriptor on something inside `dir`.
bool holdsFileIn(pid_t pid, const std::string& dir) {
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string target = fs::read_symlink(it->path(), ec).string();
    if (target.rfind(dir + "/", 0) == 0) return true;
  }
  return false;
}

TEST(DaemonKilled, MidPlacementLeavesNoPartialReportAndTheNextRequestWorks) {
  DaemonHarness d;
  // The report is made on another file system than the destination, so placing it copies.
  char shm[] = "/dev/shm/zebfault.XXXXXX";
  ASSERT_NE(::mkdtemp(shm), nullptr);
  const std::unique_ptr<char, void (*)(char*)> removeShm(shm, [](char* dir) { fs::remove_all(dir); });
  const std::string report = std::string(shm) + "/mobility-info.tar.gz";
  constexpr std::uintmax_t kSize = 256u << 20;
  tool(d, kMobility, "[ -e " + report + " ] || head -c 256M /dev/zero > " + report +
                         "; echo 'Network data collected to \"" + report + "\"'");
  const std::string dest = d.dir() + "/dest";
  fs::create_directories(dest);

  DirectoryWatch watch(dest, "mobility-info.tar.gz");
  std::jthread client([&] { EXPECT_EQ(d.zebctl({"mobility", dest}, 60s).status, 2); });
  const pid_t daemon = d.pid();
  // The copy is made in the daemon's private place, then published.
  const bool caught = waitFor([&] { return holdsFileIn(daemon, d.workDir()); }, 60s);
  ::kill(daemon, SIGKILL);
  faults::inject();
  client.join();
  EXPECT_TRUE(caught) << "the daemon was never seen copying into its private place";
  EXPECT_EQ(d.waitForExit(10s), 128 + SIGKILL);
  EXPECT_TRUE(fs::is_empty(dest));
  EXPECT_EQ(watch.names().count("mobility-info.tar.gz"), 0u);
  EXPECT_FALSE(fs::is_empty(d.workDir()));

  d.start();
  ASSERT_TRUE(waitFor([&] { return occurrences(d.log(), "Listening on") == 2; }, 10s));
  // What the killed daemon left in its private place is cleared at the start.
  EXPECT_TRUE(d.waitForLog("Removed the stale private place"));
  const Answer a = answerOf(d.zebctl({"mobility", dest}, 60s));
  watch.stopNow();
  EXPECT_EQ(a.result, json({{"filePath", dest + "/mobility-info.tar.gz"}})) << a.text << d.log();
  EXPECT_EQ(fs::file_size(dest + "/mobility-info.tar.gz"), kSize);
  EXPECT_EQ(watch.sizes(), std::set<std::uintmax_t>{kSize});  // seen under its name only whole
  EXPECT_FALSE(fs::exists(report));
}

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(full);
    if (::mount("zebfault", full.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755") != 0)
      GTEST_SKIP() << "SKIPPED LOUDLY: cannot mount a tmpfs here (" << std::strerror(errno) << ")";
    mounted = true;
  }
  void TearDown() override {
    if (mounted) ::umount2(full.c_str(), MNT_DETACH);
  }
  Answer ask(const std::vector<std::string>& request) { return answerOf(d.zebctl(request, 60s)); }

  DaemonHarness d;
  const std::string full = d.dir() + "/full";
  bool mounted = false;
};

std::string noise(std::size_t size) {
  std::mt19937 random(7);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

TEST_F(FullDisk, MoveSampleCopyAndArchiveFailWholeAndTheDaemonKeepsServing) {
  const std::string logs = d.rootDir() + "/var/log";
  fs::create_directories(logs);
  std::ofstream(logs + "/system.log") << noise(3 << 20);
  std::ofstream(logs + "/big.log") << noise(3 << 20);
  const std::string report = d.dir() + "/mobility-info.tar.gz";
  tool(d, kMobility, "[ -e " + report + " ] || head -c 3M /dev/urandom > " + report +
                         "; echo 'Network data collected to \"" + report + "\"'");
  tool(d, "/usr/bin/sample", "head -c 3M /dev/zero | tr '\\0' x");
  const std::string pid = std::to_string(::getpid());

  struct Case {
    std::vector<std::string> request;
    std::string made;  // what a success leaves in the destination
  };
  const std::vector<Case> cases = {
      {{"mobility", full}, "mobility-info.tar.gz"},
      {{"sample", pid, full + "/sample.txt"}, "sample.txt"},
      {{"copy", "/var/log/big.log=" + full + "/big.log"}, "big.log"},
      {{"syslogs", full}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request[0]);
    faults::inject();
    const Answer a = ask(c.request);
    EXPECT_EQ(a.status, 1) << a.text;
    ASSERT_TRUE(a.error.is_object()) << a.text;
    if (c.request[0] == "syslogs") {
      EXPECT_EQ(a.result, json({{"fileErrors", full}}));
    } else {
      EXPECT_EQ(a.error["domain"], "NSCocoaErrorDomain") << a.text;
      EXPECT_EQ(a.error["code"], 640) << a.text;
    }
    EXPECT_TRUE(fs::is_empty(full)) << a.text;
    EXPECT_EQ(d.zebctl({"ready"}, 10s).status, 0);
  }
  // With room again the same requests succeed: nothing of the failures is in the way.
  ASSERT_EQ(::mount(nullptr, full.c_str(), nullptr, MS_REMOUNT | MS_NOSUID | MS_NODEV, "size=64m"), 0);
  for (const Case& c : cases) {
    const Answer a = ask(c.request);
    EXPECT_EQ(a.status, 0) << c.request[0] << ": " << a.text << d.log();
    if (!c.made.empty()) {
      EXPECT_EQ(fs::file_size(full + "/" + c.made), 3u << 20) << c.request[0];
    }
  }
  EXPECT_TRUE(d.running());
}

TEST(FailingDirectoryRead, FailsTheRequestInsteadOfAnsweringShort) {
  struct Case {
    const char* failing;  // the directories whose reading fails
    std::vector<std::string> request;
    std::string domain;
    int code;
  };
  DaemonHarness d({}, /*start=*/false);
  const std::string logs = d.rootDir() + "/var/log";
  fs::create_directories(logs + "/tree/inner");
  std::ofstream(logs + "/system.log") << "now";
  std::ofstream(logs + "/tree/inner/app.log") << "deep";
  tool(d, "/usr/bin/sysdiagnose", "touch \"$3/sysdiagnose_x.tar.gz\"");
  const std::string dest = d.dir() + "/dest";
  fs::create_directories(dest);
  const std::vector<Case> cases = {
      // A listing of the log folder that fails is not an empty family.
      {"*/root/var/log", {"syslogs", dest}, "com.orvel.zeb.privileged.copySyslogs", 100},
      // A search that can't read the tool's folder did not find "no report": it failed.
      {"*/private/request.*", {"sysdiagnose", dest}, "NSCocoaErrorDomain", 256},
      {"*/var/log/tree/inner", {"copy", "/var/log/tree=" + dest + "/tree"}, "NSCocoaErrorDomain", 256},
  };
  const char* asan = std::getenv("ASAN_OPTIONS");
  // The hook comes first in the library list, ahead of a sanitizer's runtime.
  d.setEnvironment("ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0");
  d.setEnvironment("LD_PRELOAD", ZEB_FAILING_READDIR);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request[0]);
    d.setEnvironment("ZEB_FAULT_READDIR", c.failing);
    d.start();
    faults::inject();
    const Answer a = answerOf(d.zebctl(c.request, 60s));
    EXPECT_EQ(a.status, 1) << a.text << d.log();
    ASSERT_TRUE(a.error.is_object()) << a.text;
    EXPECT_EQ(a.error["domain"], c.domain) << a.text;
    EXPECT_EQ(a.error["code"], c.code) << a.text;
    EXPECT_TRUE(fs::is_empty(dest)) << a.text;
    EXPECT_EQ(d.zebctl({"stop"}, 10s).status, 0);
    EXPECT_EQ(d.waitForExit(10s), 0);
  }
}

}  // namespace
}  // namespace zebtest

int main(int argc, char** argv) {
  if (int status = zebtest::runFaultClient(argc, argv); status >= 0) return status;
  testing::InitGoogleTest(&argc, argv);
  faults::printCountAtEnd();
  return RUN_ALL_TESTS();
}
