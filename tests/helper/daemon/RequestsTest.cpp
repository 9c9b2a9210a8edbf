// Requests as values, against the real daemon: each acts for the user whose connection sent it,
// and each answer arrives whatever its size.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/types.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ZEBPrivilegedProtocols.h"
#include "protocol/ValueCodec.h"
#include "tests/support/DaemonHarness.h"

namespace zebtest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Account {
  uid_t pw_uid;
  gid_t pw_gid;
};

// A system user of the tests' own, created once.
Account testAccount(const char* name) {
  if (!::getpwnam(name)) run({"/usr/sbin/useradd", "--system", "-M", "-d", "/nonexistent", "-s", "/usr/sbin/nologin", name});
  const passwd* p = ::getpwnam(name);
  if (!p) throw std::runtime_error(std::string("no user ") + name);
  return {p->pw_uid, p->pw_gid};
}

// A process started as `uid` whose standard output we read.
struct Child {
  pid_t pid = -1;
  int out = -1;

  // Reads until `line` arrives (true) or the child ends or the time is up.
  bool waitForLine(const std::string& line, std::chrono::seconds timeout = 30s) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char c;
    while (std::chrono::steady_clock::now() < deadline && ::read(out, &c, 1) == 1) {
      if (c != '\n') {
        got.push_back(c);
      } else if (got == line) {
        return true;
      } else {
        got.clear();
      }
    }
    return false;
  }
  // Everything it prints from here to its end.
  std::string rest() {
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out, buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    return got;
  }
  int wait() {
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    ::close(out);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }
};

Child startAs(const Account* user, std::vector<std::string> argv) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::dup2(p[1], 1) < 0) ::_exit(126);
    if (user && (::setgroups(0, nullptr) != 0 || ::setresgid(user->pw_gid, user->pw_gid, user->pw_gid) != 0 ||
                 ::setresuid(user->pw_uid, user->pw_uid, user->pw_uid) != 0))
      ::_exit(126);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(p[1]);
  return Child{pid, p[0]};
}

std::string ownedDirectory(const std::string& path, const Account& user) {
  fs::create_directories(path);
  ::chown(path.c_str(), user.pw_uid, user.pw_gid);
  return path;
}

void writeTool(DaemonHarness& d, const std::string& path, const std::string& body) {
  const std::string file = d.rootDir() + path;
  fs::create_directories(fs::path(file).parent_path());
  std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
  fs::permissions(file, fs::perms(0755));
}

// zebctl run as `user` (no groups, no privilege left).
ProcessResult zebctlAs(DaemonHarness& d, const Account& user, std::vector<std::string> args) {
  std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.pw_uid),
                                   "--regid=" + std::to_string(user.pw_gid), "--clear-groups", "--", d.client(),
                                   "--socket", d.socketPath(), "--timeout", "30"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, 40s);
}

// Every entry below `dir` (not following links) that belongs to someone other than `owner`.
std::vector<std::string> foreignEntries(const std::string& dir, uid_t owner) {
  std::vector<std::string> foreign;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) == 0 && st.st_uid != owner) foreign.push_back(it->path().string());
  }
  return foreign;
}

// Watches a folder on a thread of its own and records every entry of someone else's it ever sees.
class ForeignWatch {
 public:
  ForeignWatch(std::string dir, uid_t owner)
      : thread_([this, dir = std::move(dir), owner] {
          while (!done_.load()) {
            for (std::string& f : foreignEntries(dir, owner)) {
              std::lock_guard lock(mutex_);
              seen_.push_back(std::move(f));
            }
            std::this_thread::sleep_for(2ms);
          }
        }) {}
  ~ForeignWatch() { stop(); }
  std::vector<std::string> stop() {
    done_.store(true);
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> seen_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class Requests : public ::testing::Test {
 protected:
  const Account a = testAccount("zebreq-a");
  const Account b = testAccount("zebreq-b");
  DaemonHarness d{{"-ToolsPerUser", "2"}};
  std::string client = d.signedCopy(fs::read_symlink("/proc/self/exe").string(), "com.orvel.tessel.VellumDrift", {},
                                    "requests-client");

  void SetUp() override {
    writeTool(d, "/usr/bin/sample", "echo sampled");
    fs::create_directories(d.rootDir() + "/var/log");
    std::ofstream(d.rootDir() + "/var/log/zeb.log") << "a log line\n";
  }

  // A client of `user` that stays admitted, sends `requests` once `trigger` exists, then lingers.
  Child held(const Account* user, const std::string& trigger, std::vector<std::string> requests) {
    std::vector<std::string> argv = {client, "--zeb-client", "held", d.socketPath(), trigger};
    argv.insert(argv.end(), requests.begin(), requests.end());
    Child c = startAs(user, std::move(argv));
    EXPECT_TRUE(c.waitForLine("admitted"));
    return c;
  }
};

TEST_F(Requests, EachRequestIsCheckedAndOwnedForTheUserWhoSentIt) {
  const std::string aDir = ownedDirectory(d.dir() + "/a", a), bDir = ownedDirectory(d.dir() + "/b", b);
  const std::string bFile = bDir + "/report.txt";
  std::ofstream(bFile) << "B's own";
  ::chown(bFile.c_str(), b.pw_uid, b.pw_gid);

  // A asks for B's folder after B's client, then after root's client, became the latest.
  const Account* latestClients[] = {&b, nullptr};
  for (const Account* latest : latestClients) {
    const std::string go = d.dir() + "/go-a", release = d.dir() + "/go-latest";
    fs::remove(go);
    fs::remove(release);
    Child fromA = held(&a, go, {"sample", "1", bFile, "copy", "/var/log/zeb.log", bDir + "/copied.log"});
    Child last = held(latest, release, {"none"});
    const std::size_t logSoFar = d.log().size();
    std::ofstream{go};
    EXPECT_EQ(fromA.wait(), 0);
    EXPECT_TRUE(d.waitForLog("Refusing destination " + bFile + " for pid " + std::to_string(fromA.pid), 10s, logSoFar));
    EXPECT_TRUE(d.waitForLog("Could not copy /var/log/zeb.log -> " + bDir + "/copied.log", 10s, logSoFar));
    std::ofstream{release};
    EXPECT_EQ(last.wait(), 0);
    EXPECT_EQ(slurp(bFile), "B's own");
    EXPECT_EQ(ownerOf(bFile), b.pw_uid);
    EXPECT_FALSE(fs::exists(bDir + "/copied.log"));
  }

  // A's requests into A's own folder still work, and what they make is A's.
  const std::string go = d.dir() + "/go-own";
  Child own = held(&a, go, {"sample", "self", aDir + "/sample.txt", "copy", "/var/log/zeb.log", aDir + "/copied.log"});
  std::ofstream{go};
  EXPECT_EQ(own.wait(), 0);
  EXPECT_EQ(slurp(aDir + "/sample.txt"), "sampled\n");
  EXPECT_EQ(slurp(aDir + "/copied.log"), "a log line\n");
  for (const char* made : {"/sample.txt", "/copied.log"}) EXPECT_EQ(ownerOf(aDir + made), a.pw_uid) << made;
  EXPECT_TRUE(d.running());
}

TEST_F(Requests, AnswersLargerThanARequestArriveAndNothingForgesALogLine) {
  // A legacy Wi-Fi tool that prints 1.5 MB of errors without its marker: the answer quotes the tail.
  const std::string dest = d.dir() + "/dest";
  fs::create_directories(dest);
  fs::create_directories(d.rootDir() + "/System/Library/CoreServices");
  std::ofstream(d.rootDir() + "/System/Library/CoreServices/SystemVersion.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>ProductVersion</key>"
         "<string>10.8</string></dict></plist>";
  writeTool(d, "/usr/bin/wifidiagnose", "head -c 1500000 /dev/zero | tr '\\0' x >&2; echo END >&2");
  ProcessResult r = d.zebctl({"wifi", dest});
  ASSERT_EQ(r.status, 1) << r.err;
  const auto wifi = nlohmann::json::parse(r.out);
  const std::string text = wifi["args"][1]["userInfo"]["NSLocalizedDescription"];
  EXPECT_TRUE(text.starts_with("wifidiagnose failed to locate output from stderr: [cut] ...")) << text.substr(0, 80);
  EXPECT_TRUE(text.ends_with("xxxxEND\n"));
  EXPECT_LT(text.size(), 70u * 1024);

  // 1,024 refused copies, each named at length: the answer repeats every name with its reason.
  std::vector<std::string> copy = {"copy"};
  for (int i = 0; i < 1024; ++i) {
    std::string source = "/var/log/";
    for (int k = 0; k <= i % 100 + 100; ++k) source += "./";
    copy.push_back(source + "zeb.log" + std::string(i / 100, '/') + "=/etc/" + std::string(300, 'd') + std::to_string(i));
  }
  r = d.zebctl(copy);
  ASSERT_EQ(r.status, 1) << r.err.substr(0, 300);
  EXPECT_EQ(nlohmann::json::parse(r.out)["args"][0]["fileErrors"].size(), 1024u);

  // A name that holds a line of the daemon's own can't start a line of the log, whatever the request
  // and however far it gets: refused, run, placed, or failed while placing.
  const std::string forged = "ZEBPrivilegedDaemon performReadyCheck: version: 9.99";
  r = d.zebctl({"sysdiagnose", "/tmp/missing\n" + forged});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(d.waitForLog("Refusing destination /tmp/missing\\x0A" + forged));
  const std::string named = d.dir() + "/in\n" + forged;
  fs::create_directories(named);
  writeTool(d, "/usr/bin/sysdiagnose", "echo r > \"$3/sysdiagnose_\n" + forged + ".tar.gz\"");
  writeTool(d, "/usr/bin/tmdiagnose", "mkdir \"$4/x\n" + forged + ".tmdiagnostic\"");
  writeTool(d, "/usr/bin/mddiagnose", "exit 1");
  writeTool(d, kMobility, "echo \"/nonexistent/" + forged + "\"");
  for (const std::string& place : {named, "/tmp/missing\n" + forged}) {
    for (std::vector<std::string> request : std::vector<std::vector<std::string>>{
             {"mobility", place}, {"sysdiagnose", place}, {"wifi", place}, {"bluetooth", place, "no\n" + forged},
             {"tm", place}, {"mds", place}, {"sample", "1", place + "/s\n" + forged}, {"syslogs", place},
             {"installlogs", place}, {"copy", "/var/log/zeb.log\n" + forged + "=" + place + "/c\n" + forged},
             {"copy", "/var/log/zeb.log=" + place + "/c\n" + forged}}) {
      d.zebctl(request);
    }
  }
  EXPECT_EQ(d.log().find("\n" + forged), std::string::npos) << d.log();
  EXPECT_TRUE(d.running());
}

TEST(ConnectionLimits, OneUserHoldsEightConnectionsAndOthersAreStillAdmitted) {
  DaemonHarness d;
  const Account a = testAccount("zebreq-a");
  const std::string client = d.signedCopy(fs::read_symlink("/proc/self/exe").string(), "com.orvel.tessel.VellumDrift",
                                          {}, "many-client");
  const std::string release = d.dir() + "/release";
  Child holder = startAs(&a, {client, "--zeb-client", "many", d.socketPath(), "9", release});
  EXPECT_TRUE(holder.waitForLine("admitted 8"));
  EXPECT_TRUE(d.waitForLog("Dropping new connection: uid " + std::to_string(a.pw_uid) + " already holds 8 connections"));
  EXPECT_EQ(d.zebctl({"ready"}).status, 0);
  std::ofstream{release};
  EXPECT_EQ(holder.wait(), 0);
}

TEST_F(Requests, OneUsersBurstWaitsForItsToolSlotsWhileAnotherUserIsServed) {
  // Each sample records its start and end, tagged with the pid it was asked for.
  const std::string journal = d.dir() + "/journal";
  writeTool(d, "/usr/bin/sample", "echo +$1 >> " + journal + "; sleep 0.5; echo -$1 >> " + journal + "; echo frame");
  const std::string aDir = ownedDirectory(d.dir() + "/a", a), bDir = ownedDirectory(d.dir() + "/b", b);
  std::vector<std::string> burst = {"linger", "10"};
  for (int i = 1; i <= 8; ++i) {
    for (const std::string& word : {std::string("sample"), std::string("self"), aDir + "/s" + std::to_string(i)})
      burst.push_back(word);
  }
  const std::string goA = d.dir() + "/go-a", goB = d.dir() + "/go-b";
  Child fromA = held(&a, goA, burst);
  Child fromB = held(&b, goB, {"linger", "10", "sample", "self", bDir + "/s100"});
  std::ofstream{goA};
  std::this_thread::sleep_for(200ms);
  std::ofstream{goB};
  EXPECT_EQ(fromB.wait(), 0);
  EXPECT_EQ(fromA.wait(), 0);

  std::ifstream in(journal);
  int runningA = 0, mostA = 0, startedABeforeB = 0;
  bool bStarted = false;
  for (std::string line; std::getline(in, line);) {
    const bool start = line[0] == '+', fromUserB = line.substr(1) == std::to_string(fromB.pid);
    if (!fromUserB) runningA += start ? 1 : -1;
    mostA = std::max(mostA, runningA);
    if (start && fromUserB) bStarted = true;
    if (start && !fromUserB && !bStarted) ++startedABeforeB;
  }
  EXPECT_EQ(mostA, 2) << slurp(journal);
  EXPECT_TRUE(bStarted);
  EXPECT_LT(startedABeforeB, 8) << "the other user waited for the whole burst";
  for (int i = 1; i <= 8; ++i) EXPECT_EQ(slurp(aDir + "/s" + std::to_string(i)), "frame\n") << i;
  EXPECT_EQ(slurp(bDir + "/s100"), "frame\n");
  EXPECT_TRUE(d.running());
}

TEST(ToolLimits, ASamplePastTheTimeLimitIsAnsweredAsTheToolsFailure) {
  DaemonHarness d({"-ToolTimeLimit", "1"});
  writeTool(d, "/usr/bin/sample", "echo partial; sleep 60");
  const std::string dest = d.dir() + "/dest";
  fs::create_directories(dest);
  const ProcessResult r = d.zebctl({"sample", "1", dest + "/sample.txt"});
  ASSERT_EQ(r.status, 1) << r.err;
  const auto error = nlohmann::json::parse(r.out)["args"][1];
  EXPECT_EQ(error["code"], 1601);
  EXPECT_EQ(error["userInfo"]["NSLocalizedDescription"], "Sample process failed with code: 15");
  EXPECT_TRUE(fs::is_empty(dest));
  EXPECT_TRUE(d.waitForLog("sample ran past its time limit of 1 s and was ended with signal 15"));
}

}  // namespace
}  // namespace zebtest

namespace zebtest {
namespace {

// Starts a child with exactly the pid `pid` (clone3's set_tid), which runs `body` and exits with
// its result; -1 when the kernel won't give that pid here.
pid_t cloneWithPid(pid_t pid, int (*body)(int), int arg) {
  struct {
    std::uint64_t flags, pidfd, child_tid, parent_tid, exit_signal, stack, stack_size, tls, set_tid, set_tid_size, cgroup;
  } args{};
  pid_t wanted = pid;
  args.exit_signal = SIGCHLD;
  args.set_tid = reinterpret_cast<std::uintptr_t>(&wanted);
  args.set_tid_size = 1;
  const long child = ::syscall(SYS_clone3, &args, sizeof args);
  if (child == 0) ::_exit(body(arg));
  return static_cast<pid_t>(child);
}

// In the child with the admitted client's pid: asks for a ready check on the inherited connection.
// 0 when the daemon hangs up without an answer, 1 when it answers.
int speakOnTakenConnection(int fd) {
  const std::string frame = zeb::xpc::encodeFrame(kZEBSelector<&ZEBPrivilegedDaemonProtocol::performReadyCheck>, {});
  if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) return 10 + errno;
  char c;
  return ::read(fd, &c, 1) == 0 ? 0 : 1;
}

TEST(SenderCheck, AProcessReusingTheAdmittedPidIsRefused) {
  for (const bool fallback : {false, true}) {
    DaemonHarness d(fallback ? std::vector<std::string>{"--pidfd-fallback"} : std::vector<std::string>{});
    const std::string client = d.signedCopy(fs::read_symlink("/proc/self/exe").string(), "com.orvel.tessel.VellumDrift",
                                            {}, "takeover-client");
    int in[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    Child admitted;
    {
      int out[2];
      ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execl(client.c_str(), client.c_str(), "--zeb-client", "raw-hold", d.socketPath().c_str(), nullptr);
        ::_exit(127);
      }
      ::close(in[0]);
      ::close(out[1]);
      admitted = Child{pid, out[0]};
    }
    std::string line;
    char c;
    while (::read(admitted.out, &c, 1) == 1 && c != '\n') line.push_back(c);
    ASSERT_TRUE(line.starts_with("fd ")) << line;
    // Take the admitted socket, let its owner exit, and give its pid to an unsigned process.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, admitted.pid, 0));
    const int taken = static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, std::stoi(line.substr(3)), 0));
    ASSERT_GE(taken, 0) << std::strerror(errno);
    ::close(in[1]);
    const pid_t reused = admitted.pid;
    ASSERT_EQ(admitted.wait(), 0);
    const pid_t impostor = cloneWithPid(reused, speakOnTakenConnection, taken);
    if (impostor < 0) GTEST_SKIP() << "clone3 with set_tid: " << std::strerror(errno);
    int raw = 0;
    ASSERT_EQ(::waitpid(impostor, &raw, 0), impostor);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << "the impostor was answered; fallback " << fallback << " status " << raw;
    EXPECT_TRUE(d.waitForLog("message from another process than the peer")) << d.log();
    ::close(taken);
    ::close(pidfd);
    EXPECT_EQ(d.zebctl({"ready"}).status, 0);
  }
}

}  // namespace
}  // namespace zebtest

namespace zebtest {
namespace {

TEST_F(Requests, AnotherUsersArrivalDepartureAndStopLeaveTheAnswerToItsUserAndItsOwnProcessOnly) {
  writeTool(d, "/usr/bin/sample", "sleep 1.5; echo frame");
  const std::string aDir = ownedDirectory(d.dir() + "/a", a), bDir = ownedDirectory(d.dir() + "/b", b);
  const std::string goA = d.dir() + "/go-a", goB = d.dir() + "/go-b";
  Child fromA = held(&a, goA, {"linger", "5", "sample", "self", aDir + "/own", "sample", "1", aDir + "/root"});
  // B's stop while only A's connection is open (and no tool runs) ends nothing but B's connection.
  EXPECT_EQ(zebctlAs(d, b, {"stop"}).status, 0);
  EXPECT_TRUE(d.running());
  // B is the latest admitted client from here on.
  Child fromB = held(&b, goB, {"ready", "stop", "linger", "1"});
  // A asks for B's process (before A's held client has anything under way: A's latest connection
  // hears A's answers).
  const ProcessResult other = zebctlAs(d, a, {"sample", std::to_string(fromB.pid), aDir + "/other"});
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(nlohmann::json::parse(other.out)["args"][1]["code"], 1601) << other.out;
  std::ofstream{goA};
  ASSERT_TRUE(d.waitForLog("Running command sample"));
  // While A's sample runs, B comes and goes, and asks for a stop.
  EXPECT_EQ(zebctlAs(d, b, {"ready"}).status, 0);
  std::ofstream{goB};
  const std::string heardB = fromB.rest();
  EXPECT_EQ(fromB.wait(), 0);
  const std::string heardA = fromA.rest();
  EXPECT_EQ(fromA.wait(), 0);

  EXPECT_EQ(heardB, "got helperReadyWithVersion:\n");
  // Root's pid is refused at once; A's own is sampled.
  EXPECT_EQ(heardA, "got sampleProcessDidFinish:error: 1601\ngot sampleProcessDidFinish:error:\n");
  EXPECT_EQ(slurp(aDir + "/own"), "frame\n");
  EXPECT_FALSE(fs::exists(aDir + "/other"));
  EXPECT_FALSE(fs::exists(aDir + "/root"));
  EXPECT_TRUE(d.waitForLog("Refusing to sample pid " + std::to_string(fromB.pid) + " for pid "));
  EXPECT_TRUE(d.waitForLog("Other users are still served: not stopping"));
  EXPECT_TRUE(d.running());
}

TEST_F(Requests, AnAnswerWithoutItsUserIsDroppedWhileOthersAreServedAndAReconnectHearsIt) {
  writeTool(d, "/usr/bin/sample", "sleep 4; echo frame");
  const std::string aDir = ownedDirectory(d.dir() + "/a", a);
  const std::string go = d.dir() + "/go", goB = d.dir() + "/go-b";
  // A leaves once its tool runs (its own process must still be there to be sampled); B stays, and
  // its stop while A's tool runs ends nothing.
  Child fromB = held(&b, goB, {"linger", "8"});
  Child leaving = held(&a, go, {"linger", "30", "sample", "self", aDir + "/dropped"});
  std::ofstream{go};
  ASSERT_TRUE(d.waitForLog("Running command sample"));
  ::kill(leaving.pid, SIGKILL);
  leaving.wait();
  std::ofstream{goB};
  EXPECT_EQ(zebctlAs(d, b, {"stop"}).status, 0);
  EXPECT_TRUE(d.waitForLog("privileged helper got an XPC error: no open connection of uid " + std::to_string(a.pw_uid)));
  EXPECT_TRUE(d.running());
  EXPECT_EQ(fromB.rest(), "");
  EXPECT_EQ(fromB.wait(), 0);

  // A reconnects before its answer is ready, and hears it.
  fs::remove(go);
  const std::size_t logSoFar = d.log().size();
  leaving = held(&a, go, {"linger", "30", "sample", "self", aDir + "/s"});
  std::ofstream{go};
  ASSERT_TRUE(d.waitForLog("Running command sample", 10s, logSoFar));
  ::kill(leaving.pid, SIGKILL);
  leaving.wait();
  Child back = held(&a, go, {"linger", "6"});
  EXPECT_EQ(back.rest(), "got sampleProcessDidFinish:error:\n");
  EXPECT_EQ(back.wait(), 0);
  EXPECT_EQ(slurp(aDir + "/s"), "frame\n");
  EXPECT_TRUE(d.running());
}

TEST(StopDaemon, RootsStopWithToolsQueuedStartsNoneAndLeavesNoToolRunning) {
  DaemonHarness d({"-ToolsPerUser", "1"});
  const Account a = testAccount("zebreq-a");
  const std::string journal = d.dir() + "/journal";
  writeTool(d, "/usr/bin/sample", "echo started >> " + journal + "; sleep 31.5; echo frame");
  const std::string aDir = ownedDirectory(d.dir() + "/a", a);
  const std::string client = d.signedCopy(fs::read_symlink("/proc/self/exe").string(), "com.orvel.tessel.VellumDrift",
                                          {}, "stop-client");
  const std::string go = d.dir() + "/go";
  Child fromA = startAs(&a, {client, "--zeb-client", "held", d.socketPath(), go, "linger", "10", "sample", "self",
                             aDir + "/1", "sample", "self", aDir + "/2", "sample", "self", aDir + "/3"});
  ASSERT_TRUE(fromA.waitForLine("admitted"));
  std::ofstream{go};
  for (int i = 0; i < 200 && slurp(journal).empty(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(slurp(journal), "started\n");
  EXPECT_TRUE(d.waitForLog("Waiting for a tool slot"));
  d.zebctl({"stop"});
  EXPECT_EQ(d.waitForExit(10s), 0);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(slurp(journal), "started\n");
  // (The bracket keeps the pattern from matching its own command line.)
  EXPECT_NE(run({"/usr/bin/pgrep", "-f", "slee[p] 31.5"}).status, 0) << "a stopped tool's child runs on\n" << d.log();
  ::kill(fromA.pid, SIGKILL);
  fromA.wait();
}

// The attack of a user who owns the destination: rename root's work folder to a report's name and
// ask for a report whose tool fails, so that the search hands root's folder over.
TEST_F(Requests, ToolsWorkInPrivatePlacesAndNothingOfRootsBecomesTheRequesters) {
  const std::string aDir = ownedDirectory(d.dir() + "/a", a);
  const std::string sentinel = d.dir() + "/root-only";
  std::ofstream(sentinel) << "root's own";
  ::chmod(sentinel.c_str(), 0600);
  // The report comes once Spotlight's request has been answered, so that its answer goes to the
  // client that asked for it, A's latest connection by then (however slow the build).
  const std::string mdsAnswered = d.dir() + "/mds-answered";
  writeTool(d, "/usr/bin/sysdiagnose",
            "w=\"$3/.sysdiagnose-sos.1.work\"; mkdir -m 700 \"$w\"; echo rootsecret > \"$w/secret\"; "
            "echo start > \"$w/manifest\"; sleep 1.5; echo more >> \"$w/manifest\"; i=0; "
            "while [ ! -e " + mdsAnswered + " ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done; "
            "echo report > \"$3/sysdiagnose_x.tar.gz\"");
  writeTool(d, "/usr/bin/mddiagnose", "exit 1");
  std::ofstream(aDir + "/planted.mdsdiagnostic") << "A's own";
  ::chown((aDir + "/planted.mdsdiagnostic").c_str(), a.pw_uid, a.pw_gid);

  ForeignWatch watch(aDir, a.pw_uid);
  const std::string go = d.dir() + "/go";
  Child diag = held(&a, go, {"linger", "10", "sysdiagnose", aDir});
  std::ofstream{go};
  // The attacker renames whatever of root's shows up in its folder, links the tool's manifest to a
  // root-only file, then asks for Spotlight's report.
  bool renamed = false;
  for (int i = 0; i < 100 && !renamed; ++i) {
    for (const auto& entry : fs::directory_iterator(aDir))
      if (entry.path().filename().string().starts_with(".sysdiagnose-sos.")) {
        renamed = ::rename(entry.path().c_str(), (aDir + "/zz.mdsdiagnostic").c_str()) == 0;
        fs::remove(aDir + "/zz.mdsdiagnostic/manifest");
        fs::create_symlink(sentinel, aDir + "/zz.mdsdiagnostic/manifest");
      }
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(renamed);
  const ProcessResult mds = zebctlAs(d, a, {"mds", aDir});
  std::ofstream{mdsAnswered};
  EXPECT_EQ(mds.status, 1);
  EXPECT_EQ(nlohmann::json::parse(mds.out)["args"][1]["code"], 101) << mds.out;
  EXPECT_EQ(diag.rest(), "got sysDiagnoseDidFinish:error:\n");
  EXPECT_EQ(diag.wait(), 0);

  EXPECT_EQ(watch.stop(), std::vector<std::string>{});
  EXPECT_EQ(slurp(aDir + "/sysdiagnose_x.tar.gz"), "report\n");
  EXPECT_EQ(slurp(aDir + "/planted.mdsdiagnostic"), "A's own");
  EXPECT_EQ(slurp(sentinel), "root's own");
  for (const auto& entry : fs::recursive_directory_iterator(aDir))
    if (entry.is_regular_file()) {
      EXPECT_NE(slurp(entry.path()), "rootsecret\n") << entry.path();
    }
  // The private place went with the request.
  EXPECT_TRUE(fs::is_empty(d.workDir()));
}

TEST_F(Requests, TheShippedSysdiagnoseNeverShowsRootsWorkInTheUsersFolder) {
  fs::remove_all(d.rootDir());
  fs::create_directories(d.rootDir() + "/etc");
  run({"/bin/sh", "-c", "cp -a \"$0/System\" \"$0/usr\" \"$1\" && mkdir -p \"$1/var/log\"", buildDir() + "/root",
       d.rootDir()});
  std::ofstream(d.rootDir() + "/etc/zeb-tools.conf") << "sos_plugins=process\nsos_plugin_timeout=30\n";
  const std::string aDir = ownedDirectory(d.dir() + "/a", a);
  ForeignWatch watch(aDir, a.pw_uid);
  const ProcessResult r = zebctlAs(d, a, {"sysdiagnose", aDir});
  const std::vector<std::string> seen = watch.stop();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string path = nlohmann::json::parse(r.out)["args"][0]["filePath"];
  EXPECT_TRUE(path.starts_with(aDir + "/sysdiagnose_")) << path;
  EXPECT_EQ(ownerOf(path), a.pw_uid);
  EXPECT_EQ(seen, std::vector<std::string>{});
  EXPECT_TRUE(fs::is_empty(d.workDir()));
}

}  // namespace
}  // namespace zebtest
