// The seven collectors end to end: the real daemon with scripted tools under a test system root,
// asked by signed clients running as root or as an ordinary user.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/DaemonHarness.h"

namespace zebtest {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kUser = "zebcollect";
constexpr const char* kUserHome = "/tmp/zebcollect-home";

struct Answer {
  int status = -1;
  json result, error;
  std::string text;  // everything the client printed, for failure messages
};

// The ordinary test user, created once; its home is emptied for every test.
const passwd& testUser() {
  if (!::getpwnam(kUser)) run({"/usr/sbin/useradd", "--system", "-M", "-d", kUserHome, "-s", "/usr/sbin/nologin", kUser});
  static const passwd user = *::getpwnam(kUser);
  return user;
}

class Collectors : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    d = std::make_unique<DaemonHarness>(std::move(extra));
    fs::remove_all(kUserHome);
    fs::create_directories(std::string(kUserHome) + "/Desktop");
    for (const char* p : {kUserHome, "/tmp/zebcollect-home/Desktop"}) ::chown(p, user.pw_uid, user.pw_gid);
  }

  // A scripted tool: records its arguments in `argsFile()`, then runs `body`.
  void tool(const std::string& path, const std::string& body) {
    const std::string file = d->rootDir() + path;
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream(file) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << argsFile() << "\n" << body << "\n";
    fs::permissions(file, fs::perms(0755));
    fs::remove(argsFile());
  }
  std::string argsFile() const { return d->dir() + "/args"; }
  std::string args() const { return slurp(argsFile()); }

  void systemVersion(const std::string& version, const std::string& build) {
    const std::string file = d->rootDir() + "/System/Library/CoreServices/SystemVersion.plist";
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream(file) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                        << "<key>ProductVersion</key><string>" << version << "</string>"
                        << (build.empty() ? "" : "<key>ProductBuildVersion</key><string>" + build + "</string>")
                        << "</dict></plist>";
  }

  std::string directory(const std::string& name, uid_t owner = 0) {
    const std::string path = d->dir() + "/" + name;
    fs::create_directories(path);
    ::chown(path.c_str(), owner, owner == 0 ? 0 : user.pw_gid);
    return path;
  }

  Answer ask(const std::vector<std::string>& request, uid_t as = 0) {
    ProcessResult r;
    if (as == 0) {
      r = d->zebctl(request, 30s);
    } else {
      // The signed client run as the test user; its output goes to files opened here as root.
      const std::string out = d->dir() + "/client.out", err = d->dir() + "/client.err";
      const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      std::vector<std::string> argv = {d->client(), "--socket", d->socketPath(), "--timeout", "30"};
      argv.insert(argv.end(), request.begin(), request.end());
      std::vector<char*> cargs;
      for (auto& a : argv) cargs.push_back(a.data());
      cargs.push_back(nullptr);
      const pid_t pid = ::fork();
      if (pid == 0) {
        if (::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0 || ::setgroups(0, nullptr) != 0 ||
            ::setresgid(user.pw_gid, user.pw_gid, user.pw_gid) != 0 || ::setresuid(as, as, as) != 0)
          ::_exit(126);
        ::execv(cargs[0], cargs.data());
        ::_exit(127);
      }
      int raw = 0;
      ::waitpid(pid, &raw, 0);
      ::close(outFd);
      ::close(errFd);
      r = {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128, slurp(out), slurp(err)};
    }
    Answer a{r.status, nullptr, nullptr, r.out + r.err};
    const json j = json::parse(r.out, nullptr, false);
    if (!j.is_discarded() && j.contains("args")) {
      a.result = j["args"][0];
      a.error = j["args"][1];
    }
    return a;
  }

  static void expectError(const Answer& a, const std::string& domain, int code, const std::string& message = {}) {
    ASSERT_TRUE(a.error.is_object()) << a.text;
    EXPECT_EQ(a.error["domain"], domain) << a.text;
    EXPECT_EQ(a.error["code"], code) << a.text;
    if (!message.empty()) {
      EXPECT_EQ(a.error["userInfo"]["NSLocalizedDescription"], message) << a.text;
    }
  }

  const passwd& user = testUser();
  std::unique_ptr<DaemonHarness> d;
};

TEST_F(Collectors, RefusedDestinationsAreAnsweredAtOnceAndLaunchNothing) {
  start();
  const std::string foreign = directory("root-owned");
  const std::string mine = directory("mine", user.pw_uid);
  for (const char* t : {kMobility, "/usr/bin/sysdiagnose", "/usr/bin/wdutil", kBluetooth, "/usr/bin/tmdiagnose",
                        "/usr/bin/mddiagnose", "/usr/bin/sample"}) {
    tool(t, "exit 0");
  }
  const std::vector<std::vector<std::string>> requests = {
      {"mobility", "/var/lib/zeb"}, {"sysdiagnose", "/etc"}, {"wifi", "/tmp"}, {"bluetooth", "/root", kUser},
      {"tm", "/tmp/../etc/x"},      {"mds", "/home"},        {"sample", "1", "/etc/passwd"}};
  for (const auto& request : requests) {
    const Answer a = ask(request);
    const std::string path = request[request[0] == "sample" ? 2 : 1];
    expectError(a, "com.orvel.tessel.zeb.privileged", 2, "Can't modify path: " + path);
    EXPECT_TRUE(a.result.is_null());
  }
  // Allowed by the path policy but not the client's: another user's folder, a shared folder, another
  // user's file, another user's Desktop.
  for (const std::vector<std::string>& request : std::vector<std::vector<std::string>>{
           {"sysdiagnose", foreign}, {"mds", d->dir()}, {"sample", "1", d->dir() + "/out.txt"},
           {"sample", "1", mine + "/../root-owned/x"}, {"bluetooth", mine, "root"}}) {
    expectError(ask(request, user.pw_uid), "com.orvel.tessel.zeb.privileged", 2);
  }
  std::ofstream(mine + "/theirs.txt") << "keep";
  expectError(ask({"sample", "1", mine + "/theirs.txt"}, user.pw_uid), "com.orvel.tessel.zeb.privileged", 2);
  EXPECT_EQ(slurp(mine + "/theirs.txt"), "keep");
  EXPECT_EQ(ownerOf(mine + "/theirs.txt"), 0u);
  EXPECT_FALSE(fs::exists(argsFile())) << args();
}

TEST_F(Collectors, MobilityReportIsMovedFromTheLastLineWithContent) {
  start();
  const std::string dest = directory("dest", user.pw_uid), report = d->dir() + "/mobility-info.tar.gz";
  tool(kMobility, "echo data > " + report + "; echo 'Network data collected to \"" + report + "\"'; echo '   '; echo");
  Answer a = ask({"mobility", dest}, user.pw_uid);
  EXPECT_EQ(a.status, 0) << a.text;
  EXPECT_EQ(a.result, json({{"filePath", dest + "/mobility-info.tar.gz"}}));
  EXPECT_EQ(ownerOf(dest + "/mobility-info.tar.gz"), user.pw_uid);
  EXPECT_FALSE(fs::exists(report));

  const std::string domain = "com.orvel.tessel.zeb.privileged.mobility";
  tool(kMobility, "echo 'done, no location'; exit 3");
  expectError(ask({"mobility", dest}), domain, 100, "mobility report failed with status: 3");
  tool(kMobility, "echo 'first /line'; echo 'no location'; echo oops >&2");
  expectError(ask({"mobility", dest}), domain, 101, "failed to find location of generated file. Last line: no location");
  EXPECT_TRUE(d->waitForLog("Couldn't find location of generated file.\nlast line: no location\nstdout: \nfirst /line\n"
                            "no location\n\n\nstderr:\noops\n"));
  // No line with content: the first piece is the last line. Output that is not UTF-8 is none.
  for (const auto& [output, line] : std::vector<std::pair<std::string, std::string>>{
           {"true", ""}, {"printf '  \\n\\n'", "  "}, {"printf '\"/tmp/x\\377\"\\n'", ""}}) {
    tool(kMobility, output);
    expectError(ask({"mobility", dest}), domain, 101, "failed to find location of generated file. Last line: " + line);
  }
  tool(kMobility, "echo '\"" + d->dir() + "/missing\"'");
  expectError(ask({"mobility", dest}), "NSCocoaErrorDomain", 4);
  fs::remove(d->rootDir() + kMobility);
  expectError(ask({"mobility", dest}), domain, 100, "mobility report failed with status: 127");
}

TEST_F(Collectors, SysdiagnoseWritesThroughThePinnedPathAndTakesTheNewestArchive) {
  start();
  const std::string dest = directory("dest", user.pw_uid);
  std::ofstream(dest + "/sysdiagnose_old.tar.gz") << "old";
  std::this_thread::sleep_for(1500ms);
  // Two archives, the second newer; an archive folder whose contents are handed over too.
  tool("/usr/bin/sysdiagnose",
       "cd \"$3\" && mkdir sysdiagnose_a.tar.gz && echo a > sysdiagnose_a.tar.gz/inner && sleep 0.05 && "
       "mkdir sysdiagnose_b.TAR.GZ && echo b > sysdiagnose_b.TAR.GZ/inner");
  for (const auto& [version, flag] : std::vector<std::pair<std::string, std::string>>{
           {"10.8.5", "-w"}, {"10.9", "-b"}, {"11.2", "-b"}}) {
    systemVersion(version, "13A483");
    fs::remove_all(dest + "/sysdiagnose_b.TAR.GZ");
    fs::remove_all(dest + "/sysdiagnose_a.tar.gz");
    const Answer a = ask({"sysdiagnose", dest}, user.pw_uid);
    EXPECT_EQ(a.status, 0) << a.text;
    EXPECT_EQ(a.result, json({{"filePath", dest + "/sysdiagnose_b.TAR.GZ"}})) << version;
    EXPECT_TRUE(args().starts_with(flag + "\n-f\n/dev/fd/")) << args();
    EXPECT_EQ(ownerOf(dest + "/sysdiagnose_b.TAR.GZ/inner"), user.pw_uid);
  }
  const std::string domain = "com.orvel.tessel.zeb.privileged.sysdiagnose";
  tool("/usr/bin/sysdiagnose", "exit 5");
  expectError(ask({"sysdiagnose", dest}), domain, 100, "sysdiagnose failed with status: 5");
  // Archives made less than a second before the start still count: clear them away first.
  for (const char* made : {"/sysdiagnose_a.tar.gz", "/sysdiagnose_b.TAR.GZ"}) fs::remove_all(dest + made);
  tool("/usr/bin/sysdiagnose", "true");
  expectError(ask({"sysdiagnose", dest}), domain, 102, "Couldn't find generated report");
  // A file with a second name elsewhere is never given away: the archive is answered with 101.
  tool("/usr/bin/sysdiagnose", "mkdir \"$3/sysdiagnose_c.tar.gz\" && echo c > " + d->dir() +
                                   "/linked && ln " + d->dir() + "/linked \"$3/sysdiagnose_c.tar.gz/inner\"");
  const Answer a = ask({"sysdiagnose", dest}, user.pw_uid);
  EXPECT_EQ(a.result, json({{"filePath", dest + "/sysdiagnose_c.tar.gz"}}));
  expectError(a, domain, 101, "failed to change permissions of sysdiagnose at file://" + dest + "/sysdiagnose_c.tar.gz");
  EXPECT_EQ(ownerOf(d->dir() + "/linked"), 0u);
  // What could not be given away was never published.
  EXPECT_FALSE(fs::exists(dest + "/sysdiagnose_c.tar.gz/inner"));
}

TEST_F(Collectors, WifiLegacyToolNamesItsReportOnTheFirstLineOfStandardError) {
  start();
  systemVersion("10.8", "12F45");
  const std::string dest = directory("dest"), domain = "com.orvel.tessel.zeb.privileged.wifidiagnose";
  tool("/usr/bin/wifidiagnose", "echo x > " + d->dir() + "/r.tgz; echo 'wd: creating report path: " + d->dir() +
                                    "/r' >&2; echo 'creating report path: /nowhere' >&2");
  Answer a = ask({"wifi", dest});
  EXPECT_EQ(a.result, json({{"filePath", dest + "/r.tgz"}})) << a.text;
  EXPECT_EQ(args(), "-tests\nfast\n");
  tool("/usr/bin/wifidiagnose", "echo starting >&2; echo 'creating report path: /tmp/r' >&2");
  expectError(ask({"wifi", dest}), domain, 101,
              "wifidiagnose failed to locate output from stderr: starting\ncreating report path: /tmp/r\n");
  tool("/usr/bin/wifidiagnose", "echo 'creating report path: " + d->dir() + "/gone' >&2");
  expectError(ask({"wifi", dest}), "NSCocoaErrorDomain", 4);
  tool("/usr/bin/wifidiagnose", "exit 2");
  expectError(ask({"wifi", dest}), domain, 100, "wifidiagnose failed with status: 2");
}

TEST_F(Collectors, WifiNewerToolWritesIntoTheDestinationFromBuild13A483) {
  start({"--console-user", kUser});
  const std::string dest = directory("dest", user.pw_uid), domain = "com.orvel.tessel.zeb.privileged.wifidiagnose";
  const std::string desktop = std::string(kUserHome) + "/Desktop";
  tool("/usr/bin/wdutil", "if [ \"$2\" = -f ]; then cd \"$3\"; else cd " + desktop +
                              "; fi && echo w > WirelessDiagnostics-1.tar_gz");
  for (const auto& [version, build] : std::vector<std::pair<std::string, std::string>>{
           {"10.9", "13A483"}, {"10.15", "13A1000"}, {"10.9", ""}}) {
    systemVersion(version, build);
    fs::remove(dest + "/WirelessDiagnostics-1.tar_gz");
    const Answer a = ask({"wifi", dest}, user.pw_uid);
    EXPECT_EQ(a.result, json({{"filePath", dest + "/WirelessDiagnostics-1.tar_gz"}})) << build << a.text;
    EXPECT_TRUE(args().starts_with("diagnose\n-f\n/dev/fd/")) << args();
    EXPECT_EQ(ownerOf(dest + "/WirelessDiagnostics-1.tar_gz"), user.pw_uid);  // readable by the requester
  }
  systemVersion("10.9", "13A482");
  fs::remove(dest + "/WirelessDiagnostics-1.tar_gz");
  Answer a = ask({"wifi", dest}, user.pw_uid);
  EXPECT_EQ(a.result, json({{"filePath", dest + "/WirelessDiagnostics-1.tar_gz"}})) << a.text;
  EXPECT_EQ(args(), "diagnose\n");
  EXPECT_EQ(ownerOf(dest + "/WirelessDiagnostics-1.tar_gz"), user.pw_uid);
  // Only a report older than the start is there.
  std::ofstream(desktop + "/WirelessDiagnostics-2.tar.gz") << "old";
  std::this_thread::sleep_for(1500ms);
  tool("/usr/bin/wdutil", "true");
  expectError(ask({"wifi", dest}), domain, 102, "Couldnt locate generated report");
  tool("/usr/bin/wdutil", "exit 9");
  expectError(ask({"wifi", dest}), domain, 100, "wifidiagnose failed with status: 9");
}

TEST_F(Collectors, WifiNewerToolBeforeBuild13A483WithoutAConsoleUserRunsNothing) {
  start({"--console-user", "zeb-no-such-user"});
  systemVersion("10.9", "13A482");
  tool("/usr/bin/wdutil", "true");
  expectError(ask({"wifi", directory("dest")}), "com.orvel.tessel.zeb.privileged.wifidiagnose", 102);
  EXPECT_FALSE(fs::exists(argsFile()));
}

TEST_F(Collectors, BluetoothReporterSeesOnlyHomeAndLeavesItsReportOnTheDesktop) {
  start();
  const std::string dest = directory("dest", user.pw_uid), domain = "com.orvel.tessel.zeb.privileged.bluetooth";
  tool(kBluetooth, "tr '\\0' '\\n' < /proc/$$/environ > " + d->dir() + "/env; echo z > \"$HOME/Desktop/bluetoothreporter-1.zip\"");
  Answer a = ask({"bluetooth", dest, kUser}, user.pw_uid);
  EXPECT_EQ(a.result, json({{"filePath", dest + "/bluetoothreporter-1.zip"}})) << a.text;
  EXPECT_EQ(slurp(d->dir() + "/env"), std::string("HOME=") + kUserHome + "\n");
  EXPECT_EQ(ownerOf(dest + "/bluetoothreporter-1.zip"), user.pw_uid);

  expectError(ask({"bluetooth", dest, "zeb-no-such-user"}), domain, 101, "Couldn't find home directory for zeb-no-such-user");
  std::ofstream(std::string(kUserHome) + "/Desktop/BluetoothReporter-old.zip") << "old";
  std::this_thread::sleep_for(1500ms);
  tool(kBluetooth, "true");
  expectError(ask({"bluetooth", dest, kUser}), domain, 102, "Couldnt locate generated report");
  tool(kBluetooth, "exit 4");
  expectError(ask({"bluetooth", dest, kUser}), domain, 100, "BluetoothReporter failed with status 4");
  EXPECT_TRUE(d->waitForLog("Bluetooth reporter error"));
}

TEST_F(Collectors, TimeMachineAndSpotlightReportsAreFoundInTheDestination) {
  start();
  const std::string dest = directory("dest", user.pw_uid), tm = "com.orvel.tessel.zeb.privileged.tmdiagnose";
  tool("/usr/bin/tmdiagnose", "cd \"$4\" && echo > x.tmdiagnose && sleep 0.05 && echo > tmdiagnostic && echo > x.tmdiagnostic.zipx");
  Answer a = ask({"tm", dest}, user.pw_uid);
  EXPECT_EQ(a.result, json({{"filePath", dest + "/x.tmdiagnose"}})) << a.text;
  EXPECT_TRUE(args().starts_with("-w\n-r\n-f\n/dev/fd/")) << args();
  EXPECT_EQ(ownerOf(dest + "/x.tmdiagnose"), user.pw_uid);
  tool("/usr/bin/tmdiagnose", "echo > \"$4/X.TMDIAGNOSTIC.zip\"");
  EXPECT_EQ(ask({"tm", dest}).result, json({{"filePath", dest + "/X.TMDIAGNOSTIC.zip"}}));
  for (const char* made : {"/x.tmdiagnose", "/X.TMDIAGNOSTIC.zip"}) fs::remove(dest + made);
  tool("/usr/bin/tmdiagnose", "true");
  expectError(ask({"tm", dest}), tm, 101, "Couldn't find generated report");
  tool("/usr/bin/tmdiagnose", "echo > \"$4/y.tmdiagnose\"; exit 1");
  expectError(ask({"tm", dest}), tm, 100, "tmdiagnose failed with status: 1");

  const std::string mds = "com.orvel.tessel.zeb.privileged.mddiagnose";
  tool("/usr/bin/mddiagnose", "mkdir \"$4/a.mdsdiagnostic\" && echo > \"$4/a.mdsdiagnostic/x\"; exit 3");
  a = ask({"mds", dest}, user.pw_uid);
  EXPECT_EQ(a.result, json({{"filePath", dest + "/a.mdsdiagnostic"}}));
  expectError(a, mds, 100, "mddiagnose failed with status: 3");
  EXPECT_TRUE(args().starts_with("-w\n-n\n-f\n/dev/fd/")) << args();
  EXPECT_EQ(ownerOf(dest + "/a.mdsdiagnostic/x"), user.pw_uid);
  fs::remove_all(dest + "/a.mdsdiagnostic");
  for (const char* body : {"exit 3", "true"}) {
    tool("/usr/bin/mddiagnose", body);
    a = ask({"mds", dest});
    EXPECT_TRUE(a.result.is_null());
    expectError(a, mds, 101, "Couldn't find generated report");
  }
}

TEST_F(Collectors, ProcessSampleWritesTheToolsOutputIntoTheNamedFile) {
  start();
  // A process of the user's own: the only kind an ordinary user may sample.
  pid_t own = -1;
  std::vector<std::string> sleeper = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.pw_uid),
                                      "--regid=" + std::to_string(user.pw_gid), "--clear-groups", "--",
                                      "/bin/sleep", "120"};
  std::vector<char*> sleeperArgs;
  for (auto& a : sleeper) sleeperArgs.push_back(a.data());
  sleeperArgs.push_back(nullptr);
  ASSERT_EQ(::posix_spawn(&own, sleeperArgs[0], nullptr, nullptr, sleeperArgs.data(), environ), 0);
  std::shared_ptr<void> reap(nullptr, [own](void*) {
    ::kill(own, SIGKILL);
    ::waitpid(own, nullptr, 0);
  });
  std::this_thread::sleep_for(200ms);  // setpriv has become the user's sleep
  const std::string pid = std::to_string(own);
  const std::string dest = directory("dest", user.pw_uid), file = dest + "/sample 1.txt";
  const std::string url = "file://" + dest + "/sample%201.txt", domain = "com.orvel.zeb.privileged.sample";
  const json answer = {{"pid", own}, {"filePath", url}};
  tool("/usr/bin/sample", "printf 'frame 1\\nframe 2\\n'");
  Answer a = ask({"sample", pid, file}, user.pw_uid);
  EXPECT_EQ(a.result, answer) << a.text;
  EXPECT_TRUE(a.error.is_null());
  EXPECT_EQ(args(), pid + "\n5\n");
  EXPECT_EQ(slurp(file), "frame 1\nframe 2\n");
  EXPECT_EQ(ownerOf(file), user.pw_uid);
  // Output that is not UTF-8 counts as none: nothing is written, and the file there stays as it was.
  tool("/usr/bin/sample", "printf 'frame \\377\\n'");
  EXPECT_EQ(ask({"sample", pid, file}, user.pw_uid).status, 0);
  EXPECT_EQ(slurp(file), "frame 1\nframe 2\n");
  // Output far past what the daemon keeps in memory reaches the file whole, unless any of it is not UTF-8.
  tool("/usr/bin/sample", "seq 1 1000000");
  EXPECT_EQ(ask({"sample", pid, file}, user.pw_uid).status, 0);
  EXPECT_EQ(slurp(file), run({"/usr/bin/seq", "1", "1000000"}).out);
  tool("/usr/bin/sample", "seq 1 1000000; printf '\\377'");
  EXPECT_EQ(ask({"sample", pid, file}, user.pw_uid).status, 0);
  EXPECT_EQ(slurp(file), run({"/usr/bin/seq", "1", "1000000"}).out);
  tool("/usr/bin/sample", "echo partial; exit 2");
  a = ask({"sample", pid, dest + "/failed.txt"});
  EXPECT_EQ(a.result, json({{"pid", own}, {"filePath", "file://" + dest + "/failed.txt"}}));
  expectError(a, domain, 1601, "Sample process failed with code: 2");
  EXPECT_FALSE(fs::exists(dest + "/failed.txt"));
  // A folder put in the file's place while the tool ran: the write fails and the folder stays.
  tool("/usr/bin/sample", "mkdir '" + file + ".d'; rm '" + file + "'; mv '" + file + ".d' '" + file + "'; echo x");
  a = ask({"sample", pid, file}, user.pw_uid);
  EXPECT_EQ(a.result, answer);
  expectError(a, "NSCocoaErrorDomain", 512);
  EXPECT_TRUE(fs::is_directory(file));
  fs::remove(d->rootDir() + "/usr/bin/sample");
  a = ask({"sample", "7", dest + "/none.txt"});
  EXPECT_EQ(a.result, json({{"pid", 7}, {"filePath", "file://" + dest + "/none.txt"}}));
  expectError(a, domain, 1601, "Sample process failed with code: 127");
}


// The tool stand-ins' shared shell code, run as root, writing into a folder whose owner replaces
// the archive's temporary name with a link to a file of root's as soon as the name exists (the
// race won every time: mktemp is wrapped to do it).
std::string placeArchiveThroughPlantedLink(const std::string& placeFunction) {
  TempDir dir;
  const std::string victim = dir.path() + "/victim";
  const std::string src = dir.path() + "/src";
  const std::string dest = dir.path() + "/dest";
  fs::create_directories(src);
  fs::create_directories(dest);
  std::ofstream(victim) << "precious";
  std::ofstream(src + "/report.txt") << "report";
  const std::string script = ". '" + buildDir() + "/root/usr/lib/zeb-tools/collect.sh'\n" +
                             "mktemp() {\n"
                             "  t=$(command mktemp \"$@\")\n"
                             "  case $t in \"$DEST\"/*) rm -f -- \"$t\"; ln -s -- \"$VICTIM\" \"$t\" ;; esac\n"
                             "  printf '%s\\n' \"$t\"\n"
                             "}\n" +
                             placeFunction + " \"$SRC\" \"$DEST\" report.archive\n";
  (void)run({"/bin/sh", "-c", script}, 60s, {{"VICTIM", victim}, {"SRC", src}, {"DEST", dest}});
  return slurp(victim);
}

TEST(ToolScripts, ArchivesAreNeverWrittenThroughALinkPlantedInTheDestination) {
  if (::geteuid() != 0) GTEST_SKIP() << "the tools run as root";
  EXPECT_EQ(placeArchiveThroughPlantedLink("place_tar"), "precious");
  EXPECT_EQ(placeArchiveThroughPlantedLink("place_zip"), "precious");
}


// The Bluetooth tool stand-in, run as root for a home whose owner swaps the Desktop the tool just
// made (or is about to hand over) for a link to `target`, symbolic or hard (the race won every time:
// mkdir and chown are wrapped to do it). Answers the names `target` then holds, if it is a folder.
std::vector<std::string> bluetoothReportThroughSwappedDesktop(const std::string& target, bool hardLink = false) {
  TempDir root;
  const std::string tool = root.path() + kBluetooth;
  fs::create_directories(fs::path(tool).parent_path());
  fs::copy_file(buildDir() + "/root" + kBluetooth, tool);
  fs::create_directories(root.path() + "/usr/lib/zeb-tools");
  std::ofstream(root.path() + "/usr/lib/zeb-tools/collect.sh")
      << "ZEB_LIB='" << buildDir() << "/root/usr/lib/zeb-tools'\n"
      << ". '" << buildDir() << "/root/usr/lib/zeb-tools/collect.sh'\n"
      << "swap() { rm -rf -- \"$HOME/Desktop\"; ln $LINK -- \"$VICTIM\" \"$HOME/Desktop\"; }\n"
         "mkdir() {\n"
         "  command mkdir \"$@\"\n"
         "  case \" $* \" in *\" $HOME/Desktop \"*) swap ;; esac\n"
         "}\n"
         "chown() {\n"
         "  case \" $* \" in *\"$HOME/Desktop\"*) swap ;; esac\n"
         "  command chown \"$@\"\n"
         "}\n";
  const std::string home = root.path() + "/home";
  fs::create_directories(home);
  EXPECT_EQ(::chown(home.c_str(), 4242, 4242), 0);
  (void)run({"/bin/sh", tool}, 60s, {{"HOME", home}, {"VICTIM", target}, {"LINK", hardLink ? "-P" : "-s"}});
  std::vector<std::string> names;
  if (fs::is_directory(target))
    for (const auto& entry : fs::directory_iterator(target)) names.push_back(entry.path().filename());
  return names;
}

TEST(ToolScripts, BluetoothReporterNeverWorksThroughADesktopSwappedForALink) {
  if (::geteuid() != 0) GTEST_SKIP() << "the tools run as root";
  TempDir dir;
  const std::string file = dir.path() + "/file";
  const std::string folder = dir.path() + "/folder";
  std::ofstream(file) << "precious";
  fs::create_directories(folder);
  for (const bool hardLink : {false, true}) {
    (void)bluetoothReportThroughSwappedDesktop(file, hardLink);
    EXPECT_EQ(ownerOf(file), 0u) << (hardLink ? "hard link" : "symbolic link");
    EXPECT_EQ(slurp(file), "precious");
  }
  EXPECT_EQ(bluetoothReportThroughSwappedDesktop(folder), std::vector<std::string>{});
  EXPECT_EQ(ownerOf(folder), 0u);
}

// The folder placement of the tool stand-ins, run as root, writing into a folder whose owner swaps the
// temporary folder for a link to a folder of root's as soon as it exists (mkdir is wrapped to win the
// race every time, whichever of mkdir and mktemp makes it).
TEST(ToolScripts, FolderReportsAreNeverWrittenThroughASwappedTemporaryFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "the tools run as root";
  TempDir dir;
  const std::string victim = dir.path() + "/victim";
  const std::string src = dir.path() + "/src";
  const std::string dest = dir.path() + "/dest";
  fs::create_directories(src);
  fs::create_directories(dest);
  fs::create_directory(victim);
  fs::permissions(victim, fs::perms::owner_all);
  std::ofstream(src + "/report.txt") << "report";
  const std::string script = ". '" + buildDir() + "/root/usr/lib/zeb-tools/collect.sh'\n" +
                             "mkdir() {\n"
                             "  command mkdir \"$@\"\n"
                             "  for a; do case $a in .report.*|*/.report.*) rmdir -- \"$a\"; ln -s -- \"$VICTIM\" \"$a\" ;; esac; done\n"
                             "}\n"
                             "mktemp() {\n"
                             "  t=$(command mktemp \"$@\")\n"
                             "  case $t in \"$DEST\"/*) [ -d \"$t\" ] && rmdir -- \"$t\" && ln -s -- \"$VICTIM\" \"$t\" ;; esac\n"
                             "  printf '%s\\n' \"$t\"\n"
                             "}\n"
                             "place_dir \"$SRC\" \"$DEST\" report.tmdiagnostic\n";
  const ProcessResult r = run({"/bin/sh", "-c", script}, 60s, {{"VICTIM", victim}, {"SRC", src}, {"DEST", dest}});
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(fs::is_empty(victim));
  EXPECT_EQ(fs::status(victim).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_FALSE(fs::exists(dest + "/report.tmdiagnostic"));

  // Unattacked, the folder appears whole under its name.
  const ProcessResult ok = run({"/bin/sh", "-c", ". '" + buildDir() + "/root/usr/lib/zeb-tools/collect.sh'\n" +
                                                     "place_dir \"$SRC\" \"$DEST\" report.tmdiagnostic\n"},
                               60s, {{"SRC", src}, {"DEST", dest}});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_TRUE(fs::exists(dest + "/report.tmdiagnostic/report.txt"));
}

}  // namespace
}  // namespace zebtest
