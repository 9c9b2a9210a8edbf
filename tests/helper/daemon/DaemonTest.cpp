// The real daemon binary on a temporary socket, talked to by signed clients.
#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/helper/daemon/ClientScenarios.h"
#include "tests/support/DaemonHarness.h"

namespace zebtest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char* const kRefusedLine = "ZEBPrivilegedDaemon SecCodeCheckValidity returns error ";

std::string selfPath() { return fs::read_symlink("/proc/self/exe").string(); }

// A signed copy of this test binary, to run client scenarios under the test anchor.
std::string scenarioClient(DaemonHarness& d) {
  return d.signedCopy(selfPath(), "com.orvel.tessel.VellumDrift", {}, "scenario-client");
}

ProcessResult runScenario(DaemonHarness& d, const std::string& client, const std::string& scenario,
                          std::vector<std::string> extra = {}) {
  std::vector<std::string> argv = {client, "--zeb-client", scenario, d.socketPath()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return run(argv, 90s);
}

TEST(Admission, SignedClientsOfBothEditionsAreAdmitted) {
  DaemonHarness d;
  auto r = d.zebctl({"ready"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"args\":[\"0.84\"],\"callback\":\"helperReadyWithVersion:\"}\n");

  const auto lite = d.signedCopy(zebctlPath(), "com.orvel.tessel.VellumDriftLite");
  r = run({lite, "--socket", d.socketPath(), "privileges"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Hello world! uid = 0, euid = 0, pid = " + std::to_string(d.pid())), std::string::npos) << r.out;
  EXPECT_TRUE(d.waitForLog("ZEBPrivilegedDaemon performReadyCheck: version: 0.84"));
  EXPECT_TRUE(d.waitForLog("ZEBPrivilegedDaemon showPrivs"));
  EXPECT_TRUE(d.waitForLog("Connected to client <connection pid "));

  // Signed into a copy (as an administrator signs a packaged client): the source stays as it was.
  const std::string source = d.dir() + "/zebctl-packaged";
  fs::copy_file(zebctlPath(), source);
  fs::permissions(source, fs::perms(0751));
  const std::string before = slurp(source);
  const std::string copy = d.dir() + "/zebctl-local";
  r = run({codesignPath(), "sign", "--key", d.keyPath("orvel"), "--identifier", "com.orvel.tessel.VellumDrift",
           "--output", copy, source});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(source), before);
  EXPECT_EQ(fs::status(copy).permissions(), fs::perms(0751));
  EXPECT_EQ(run({copy, "--socket", d.socketPath(), "ready"}).status, 0);
}

struct RefusedCase {
  const char* name;
  int status;
};

TEST(Admission, RefusesClientsThatDoNotSatisfyTheRequirement) {
  DaemonHarness d;
  const std::string unsignedCopy = d.dir() + "/unsigned";
  fs::copy_file(zebctlPath(), unsignedCopy);
  const auto wrongId = d.signedCopy(zebctlPath(), "com.orvel.tessel.Other");
  const auto stranger = d.signedCopy(zebctlPath(), "com.orvel.tessel.VellumDrift", d.keyPath("stranger"));
  // The stranger's key, installed as a second anchor: the signature verifies but names the wrong anchor.
  run({codesignPath(), "keygen", "known", d.anchorsDir()});
  const auto otherAnchor = d.signedCopy(zebctlPath(), "com.orvel.tessel.VellumDrift", d.anchorsDir() + "/known.key");
  // A byte changed after signing.
  const auto modified = d.signedCopy(zebctlPath(), "com.orvel.tessel.VellumDrift");
  {
    std::fstream f(modified, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(100);
    f.put('\x7f');
  }
  // A key named like the anchor but not the anchor's key.
  const std::string impostorDir = d.dir() + "/impostor";
  fs::create_directories(impostorDir);
  run({codesignPath(), "keygen", "orvel", impostorDir});
  const auto impostor = d.signedCopy(zebctlPath(), "com.orvel.tessel.VellumDrift", impostorDir + "/orvel.key");

  // A byte changed far past the first MiB: in 2 MiB of padding appended before signing.
  const std::string padded = d.dir() + "/padded";
  fs::copy_file(zebctlPath(), padded);
  const auto paddingAt = static_cast<std::streamoff>(fs::file_size(padded)) + 3 * 512 * 1024;
  std::ofstream(padded, std::ios::app | std::ios::binary) << std::string(2 * 1024 * 1024, '\0');
  const auto changeByte = [&](const std::string& file) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(paddingAt);
    f.put('\x7f');
  };
  const auto modifiedLate = d.signedCopy(padded, "com.orvel.tessel.VellumDrift", {}, "modified-late");
  changeByte(modifiedLate);
  // Admitted once, then changed in place (same file, same size).
  const auto changedInPlace = d.signedCopy(padded, "com.orvel.tessel.VellumDrift", {}, "changed-in-place");
  EXPECT_EQ(run({changedInPlace, "--socket", d.socketPath(), "ready"}).status, 0);
  changeByte(changedInPlace);

  // A real client's signature block appended to a larger (sparse) copy of it: refused on its length.
  const std::string forged = d.dir() + "/forged";
  {
    const std::string genuine = d.signedCopy(zebctlPath(), "com.orvel.tessel.VellumDrift", {}, "genuine");
    std::ifstream in(genuine, std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(in), {}};
    const std::size_t blockStart = fs::file_size(zebctlPath());
    fs::copy_file(zebctlPath(), forged);
    fs::resize_file(forged, 64u << 20);
    std::ofstream(forged, std::ios::app | std::ios::binary) << all.substr(blockStart);
    fs::permissions(forged, fs::perms(0755));
  }

  const std::pair<std::string, int> cases[] = {
      {unsignedCopy, -67062}, {wrongId, -67050},      {stranger, -67061},       {otherAnchor, -67050},
      {modified, -67061},     {impostor, -67061},     {modifiedLate, -67061},   {changedInPlace, -67061},
      {forged, -67061},
  };
  for (const auto& [exe, status] : cases) {
    auto r = run({exe, "--socket", d.socketPath(), "--timeout", "5", "ready"});
    EXPECT_EQ(r.status, 2) << exe << ": " << r.out << r.err;
    EXPECT_TRUE(d.waitForLog(std::string(kRefusedLine) + std::to_string(status))) << exe;
  }
  EXPECT_NE(d.log().find("signed length does not match the file"), std::string::npos);
  // Refusals change nothing for the admitted.
  EXPECT_EQ(d.zebctl({"ready"}).status, 0);
}

TEST(Admission, RefusesInjectedAndTracedClients) {
  DaemonHarness d;
  auto r = run({d.client(), "--socket", d.socketPath(), "--timeout", "5", "ready"}, 30s,
               // (A sanitizer runtime would refuse to start behind a preloaded library otherwise.)
               {{"LD_PRELOAD", "/lib/x86_64-linux-gnu/libc.so.6"}, {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_TRUE(d.waitForLog("Refused pid " ) && d.log().find("environment injects code") != std::string::npos) << d.log();

  // A client under ptrace.
  const pid_t child = fork();
  if (child == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // the leak checker can't run under a tracer
    const std::string sock = d.socketPath();
    execl(d.client().c_str(), d.client().c_str(), "--socket", sock.c_str(), "--timeout", "5", "ready", nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);  // stopped at exec
  ptrace(PTRACE_CONT, child, nullptr, nullptr);
  for (;;) {
    waitpid(child, &status, 0);
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    ptrace(PTRACE_CONT, child, nullptr, WIFSTOPPED(status) && WSTOPSIG(status) != SIGTRAP ? WSTOPSIG(status) : 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
  EXPECT_NE(d.log().find("process is traced"), std::string::npos) << d.log();

  // A client that maps a library an ordinary user owns (writable by nobody else).
  const std::string library = d.dir() + "/libz-copy.so";
  fs::copy_file("/lib/x86_64-linux-gnu/libz.so.1", library);
  ::chown(library.c_str(), 65534, 65534);
  ::chmod(library.c_str(), 0644);
  auto mapped = run({scenarioClient(d), "--zeb-client", "dlopen-ready", d.socketPath(), library});
  EXPECT_EQ(mapped.status, 20) << mapped.out << mapped.err;
  EXPECT_NE(d.log().find("maps code not protected by root: " + library), std::string::npos) << d.log();
  EXPECT_EQ(d.zebctl({"ready"}).status, 0);
}

TEST(Admission, RequirementMustBeTheSingleEntry) {
  // A copy of the daemon whose info dictionary lists two requirements refuses everyone.
  TempDir t;
  const std::string plist = t.path() + "/Info.plist";
  std::ofstream(plist) << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>com.orvel.tessel.zeb.privileged</string>
<key>SMAuthorizedClients</key><array><string>anchor orvel</string><string>anchor orvel</string></array></dict></plist>)";
  const std::string daemonCopy = t.path() + "/daemon";
  ASSERT_EQ(run({"/usr/bin/objcopy", "--update-section", "__info_plist=" + plist, daemonPath(), daemonCopy}).status, 0);
  DaemonHarness d({}, false);
  // Run the copy in place of the daemon.
  fs::copy_file(daemonCopy, d.dir() + "/daemon-copy");
  std::vector<std::string> argv = {d.dir() + "/daemon-copy", "--socket", d.socketPath(), "--anchors", d.anchorsDir(),
                                   "--log-stderr"};
  ProcessResult served;
  std::thread server([&] { served = run(argv, 20s); });
  for (int i = 0; i < 200 && !fs::exists(d.socketPath()); ++i) std::this_thread::sleep_for(10ms);
  auto r = d.zebctl({"ready"}, 5s);
  EXPECT_EQ(r.status, 2);
  // Stop the copy: it admits nobody, so end it by signal.
  run({"/usr/bin/pkill", "-f", d.dir() + "/daemon-copy"});
  server.join();
  EXPECT_NE(served.err.find("ZEBPrivilegedDaemon couldn't find an authorized client requirement"), std::string::npos)
      << served.err;
}

TEST(Connections, SecondClientReplacesTheFirst) {
  DaemonHarness d;
  auto r = runScenario(d, scenarioClient(d), "replace");
  EXPECT_EQ(r.status, 0) << r.out << r.err << d.log();
  EXPECT_EQ(r.out, "first=0 second=1\n");
}

TEST(Connections, WhenTheLatestClientHasLeftAnOpenOneOfTheSameUserHearsTheAnswer) {
  DaemonHarness d;
  auto r = runScenario(d, scenarioClient(d), "latest-quits");
  EXPECT_EQ(r.status, 0) << r.out << r.err << d.log();
  EXPECT_FALSE(d.waitForExit(500ms));
  EXPECT_TRUE(d.running());
}

TEST(Connections, ClientThatStopsReadingTimesOutAndEndsTheDaemon) {
  DaemonHarness d({"--send-timeout", "1"});
  const auto client = scenarioClient(d);
  std::thread t([&] { runScenario(d, client, "no-read"); });
  EXPECT_EQ(d.waitForExit(60s), 1) << d.log();
  EXPECT_NE(d.log().find("send timed out"), std::string::npos);
  t.join();
}

TEST(Connections, StopEndsTheDaemonWithStatus0) {
  // Started by hand as an administrator would, without the socket unit's settings to lean on.
  DaemonHarness d({"--socket-mode", "0660", "--socket-group", "adm"});
  struct stat st {};
  ASSERT_EQ(::lstat(d.socketPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_gid, ::getgrnam("adm")->gr_gid);
  auto r = d.zebctl({"stop"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(d.waitForExit(10s), 0);
  EXPECT_TRUE(d.waitForLog("Stopping."));
  EXPECT_TRUE(d.waitForLog("0 tasks running tasks"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(d.socketPath())));
}

TEST(Connections, TerminatedDaemonRemovesItsSocketButNotASuccessors) {
  DaemonHarness d;
  ::kill(d.pid(), SIGTERM);
  EXPECT_EQ(d.waitForExit(10s), 128 + SIGTERM);
  EXPECT_FALSE(fs::exists(fs::symlink_status(d.socketPath())));

  // A socket that replaced ours at the path is another daemon's: it stays.
  DaemonHarness e;
  const std::string moved = e.socketPath() + ".first";
  fs::rename(e.socketPath(), moved);
  std::ofstream(e.socketPath()) << "another daemon's\n";
  ::kill(e.pid(), SIGTERM);
  EXPECT_EQ(e.waitForExit(10s), 128 + SIGTERM);
  EXPECT_TRUE(fs::exists(e.socketPath()));
  EXPECT_TRUE(fs::exists(moved));
}

TEST(PrivatePlaces, AWorkFolderAnotherUserCouldRearrangeIsRefusedAtStart) {
  DaemonHarness d({}, /*start=*/false);
  const std::string theirs = d.dir() + "/theirs";
  std::filesystem::create_directories(theirs);
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  const ProcessResult refused = run({daemonPath(), "--socket", d.socketPath(), "--anchors", d.anchorsDir(), "--root",
                                     d.rootDir(), "--work-dir", theirs + "/private", "--log-stderr"},
                                    10s);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("Can't use " + theirs + "/private for private places"), std::string::npos) << refused.err;
}

TEST(Connections, PidfdFallbackStillAdmits) {
  DaemonHarness d({"--pidfd-fallback"});
  EXPECT_EQ(d.zebctl({"ready"}).status, 0);
}

TEST(BadInput, EachBadConnectionIsDroppedAndOthersAreServed) {
  DaemonHarness d({"--frame-timeout", "1"});
  const auto client = scenarioClient(d);
  for (const char* kind : {"garbage", "oversized", "truncated", "unknown-selector", "wrong-count", "wrong-type",
                           "non-file-url", "before-echo", "half-frame", "huge-array"}) {
    auto r = runScenario(d, client, std::string("bad:") + kind);
    EXPECT_EQ(r.status, 0) << kind << ": " << r.out << r.err;
    EXPECT_EQ(d.zebctl({"ready"}).status, 0) << kind;
  }
  EXPECT_TRUE(d.running());
  EXPECT_NE(d.log().find("Dropping <connection pid"), std::string::npos);
  EXPECT_NE(d.log().find("unknown selector"), std::string::npos);
  EXPECT_NE(d.log().find("frame before the challenge echo"), std::string::npos);
  EXPECT_NE(d.log().find("not a file URL"), std::string::npos);
}

TEST(BadInput, FloodOfConnectionsIsCappedAndTheDaemonRecovers) {
  // One user's flood, with that user's own cap lifted: the total cap (or the cap on admissions
  // under way) turns the excess away.
  DaemonHarness d({"--max-connections", "16", "-ConnectionsPerUser", "100"});
  auto r = runScenario(d, scenarioClient(d), "flood", {"40"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(d.waitForLog("Dropping new connection: "));
  // Once the flood is gone, clients are served again.
  bool served = false;
  for (int i = 0; i < 50 && !served; ++i) {
    served = d.zebctl({"ready"}, 5s).status == 0;
    if (!served) std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(served) << d.log();
}

TEST(Activation, WorksUnderSystemdSocketActivate) {
  DaemonHarness d({}, false);
  std::vector<std::string> argv = {"/usr/bin/systemd-socket-activate", "-l", d.socketPath(), daemonPath(),
                                   "--anchors", d.anchorsDir(), "--log-stderr"};
  std::thread server([&] {
    auto r = run(argv, 30s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("(socket activation)"), std::string::npos) << r.err;
  });
  for (int i = 0; i < 300 && !fs::exists(d.socketPath()); ++i) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(100ms);
  auto r = d.zebctl({"ready"}, 10s);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(d.zebctl({"stop"}, 10s).status, 0);
  server.join();
}

}  // namespace
}  // namespace zebtest

int main(int argc, char** argv) {
  if (int status = zebtest::runClientScenario(argc, argv); status >= 0) return status;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
