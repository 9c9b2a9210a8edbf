// Log archives and log file copies from the real daemon, with a log directory under its test root,
// asked for by an ordinary user (nobody) unless a test says otherwise.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "client/ZEBClientConnection.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/NullClient.h"

namespace zebtest {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
constexpr const char* kWorkingBase = "/root/.cache/com.orvel.tessel.zeb.privileged";

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0640) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
  ::chmod(path.c_str(), mode);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// A directory of nobody's: where the client wants its files.
std::string clientDir(const std::string& path) {
  fs::create_directories(path);
  ::chown(path.c_str(), kNobody, kNobody);
  return path;
}

struct Answer {
  int status = -1;
  json result, error;
};

Answer answerOf(const ProcessResult& r) {
  Answer a;
  a.status = r.status;
  const json line = json::parse(r.out, nullptr, false);
  if (line.is_object() && line["args"].size() == 2) {
    a.result = line["args"][0];
    a.error = line["args"][1];
  }
  return a;
}

json cocoaError(const json& error) { return json{error["domain"], error["code"]}; }
json zebError(const char* domain, const char* message) {
  return json{{"code", 100}, {"domain", domain}, {"userInfo", {{"NSLocalizedDescription", message}}}};
}

class Logs : public ::testing::Test {
 protected:
  // zebctl run as nobody (or as root).
  Answer ask(std::vector<std::string> args, bool asRoot = false) {
    std::vector<std::string> argv;
    if (!asRoot) argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    for (const std::string& a : {d.client(), std::string("--socket"), d.socketPath(), std::string("--timeout"),
                                 std::string("60")})
      argv.push_back(a);
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult r = run(argv, 70s);
    EXPECT_NE(r.status, 3) << "no answer: " << r.err << d.log();
    return answerOf(r);
  }
  std::vector<std::string> archiveEntries(const std::string& archive) {
    return lines(run({"/usr/bin/unzip", "-Z1", archive}).out);
  }

  // A copy request may write 3 MB here (1 GiB by default).
  DaemonHarness d{{"-CopyByteLimit", "3000000"}};
  const std::string logs = d.rootDir() + "/var/log";
  const std::string dest = clientDir(d.dir() + "/dest");
};

TEST_F(Logs, FamiliesAreArchivedByPrefixAndGivenToTheClient) {
  const std::string secret = d.dir() + "/secret";
  writeFile(secret, "root's secret", 0600);
  writeFile(logs + "/system.log", "now");
  writeFile(logs + "/system.log.0.gz", "older");
  writeFile(logs + "/system.logger", "prefix only");
  writeFile(logs + "/system.log.d/inner", "deep");
  writeFile(logs + "/install.log", "installed");
  writeFile(logs + "/other.log", "not ours");
  fs::create_symlink(secret, logs + "/system.log.secret");

  Answer a = ask({"syslogs", dest});
  ASSERT_EQ(a.status, 0) << d.log();
  const std::string archive = a.result["filePath"];
  const std::string folder = fs::path(archive).stem();
  EXPECT_EQ(fs::path(archive).parent_path(), dest);
  EXPECT_EQ(folder.rfind("syslogs-", 0), 0u) << folder;
  EXPECT_EQ(ownerOf(archive), kNobody);
  std::vector<std::string> entries = archiveEntries(archive);
  std::sort(entries.begin(), entries.end());
  for (auto& e : entries) e.erase(0, folder.size());
  EXPECT_EQ(entries, (std::vector<std::string>{"/", "/system.log", "/system.log.0.gz", "/system.log.d/",
                                               "/system.log.d/inner", "/system.log.secret", "/system.logger"}));
  EXPECT_EQ(run({"/usr/bin/unzip", "-p", archive, folder + "/system.log.d/inner"}).out, "deep");
  // The link went in as a link: the file it names stays out.
  EXPECT_EQ(run({"/usr/bin/unzip", "-p", archive}).out.find("root's secret"), std::string::npos);
  EXPECT_TRUE(d.waitForLog("Collecting Syslogs to destination: " + dest));
  EXPECT_TRUE(d.waitForLog("Can not modify path?: " + std::string(kWorkingBase) + "/" + folder));
  EXPECT_TRUE(d.waitForLog("Copied all files!"));
  EXPECT_TRUE(d.waitForLog("archivePath is " + archive));
  EXPECT_FALSE(fs::exists(std::string(kWorkingBase) + "/" + folder));

  a = ask({"installlogs", dest});
  ASSERT_EQ(a.status, 0) << d.log();
  const std::string install = a.result["filePath"];
  EXPECT_EQ(archiveEntries(install).size(), 2u);
  EXPECT_EQ(run({"/usr/bin/unzip", "-p", install, fs::path(install).stem().string() + "/install.log"}).out,
            "installed");
  EXPECT_TRUE(d.waitForLog("Collecting Install Logs to destination: " + dest));
  EXPECT_EQ(d.log().find("archivePath is " + install), std::string::npos);

  // No log directory at all: an empty family, packed and placed all the same.
  fs::remove_all(logs);
  a = ask({"syslogs", dest});
  ASSERT_EQ(a.status, 0) << d.log();
  EXPECT_EQ(archiveEntries(a.result["filePath"]).size(), 1u);
}

TEST_F(Logs, GatheringForAPlaceThatIsNotTheClientsAnswersAsAFailedMove) {
  writeFile(logs + "/system.log", "now");
  writeFile(logs + "/install.log", "installed");
  const std::string rootsDir = d.dir() + "/roots";
  fs::create_directories(rootsDir);
  const std::string planted = dest + "/planted";
  fs::create_symlink(rootsDir, planted);
  ::lchown(planted.c_str(), kNobody, kNobody);

  for (const std::string& place : {rootsDir, planted}) {
    Answer a = ask({"syslogs", place});
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.result, (json{{"fileErrors", place}}));
    EXPECT_EQ(a.error, zebError("com.orvel.zeb.privileged.copySyslogs",
                                "Could not move archive to the destination directory."));
    EXPECT_TRUE(d.waitForLog("archivePath is nil. destinationDir is " + place));
  }
  Answer a = ask({"installlogs", rootsDir});
  EXPECT_EQ(a.error, zebError("com.orvel.zeb.privileged.copyinstallLogs",
                              "Could not move archive to the destination directory."));
  EXPECT_TRUE(fs::is_empty(rootsDir));
}

TEST_F(Logs, CopyRequestOfAHundredFilesCopiesEachWholeForTheClient) {
  std::vector<std::string> args;
  for (int i = 0; i < 98; ++i) {
    writeFile(logs + "/app" + std::to_string(i) + ".log", std::string(1000 + i, 'a' + i % 26));
    args.push_back("/var/log/app" + std::to_string(i) + ".log=" + dest + "/copy" + std::to_string(i));
  }
  writeFile(d.rootDir() + "/Library/Logs/Report/crash.txt", "crashed");
  args.push_back("/Library/Logs/Report=" + dest + "/Report");
  writeFile(logs + "/app98.log", "spelt oddly");
  args.push_back("/var/log/./sub/../app98.log=" + dest + "/odd98");
  ASSERT_EQ(args.size(), 100u);

  args.insert(args.begin(), "copy");
  Answer a = ask(args);
  EXPECT_EQ(a.status, 0) << d.log();
  EXPECT_EQ(a.result, json::object());
  EXPECT_TRUE(a.error.is_null());
  for (int i = 0; i < 98; ++i) {
    const std::string copy = dest + "/copy" + std::to_string(i);
    ASSERT_EQ(slurp(copy), std::string(1000 + i, 'a' + i % 26)) << i;
    EXPECT_EQ(ownerOf(copy), kNobody);
    EXPECT_EQ(fs::status(copy).permissions(), fs::perms(0640));
  }
  EXPECT_EQ(slurp(dest + "/Report/crash.txt"), "crashed");
  EXPECT_EQ(ownerOf(dest + "/Report/crash.txt"), kNobody);
  EXPECT_EQ(slurp(dest + "/odd98"), "spelt oddly");
  EXPECT_TRUE(d.waitForLog("Copying: /var/log/app42.log -> " + dest + "/copy42"));
}

TEST_F(Logs, CopyRequestWithAnyBadEntryCopiesNothingAndGivesEachItsReason) {
  const std::string secret = d.dir() + "/secret";
  writeFile(secret, "root's secret", 0600);
  writeFile(logs + "/good", "fine");
  writeFile(logs + "/other", "fine");
  writeFile(d.rootDir() + "/var/logfile", "a sibling, not a log directory");
  // A target with one name only, so that only the containment check can refuse the link to it.
  const std::string lone = d.dir() + "/lone-secret";
  writeFile(lone, "root's other secret", 0600);
  fs::create_symlink(lone, logs + "/leads-out");
  fs::create_hard_link(secret, logs + "/hard");
  fs::create_symlink(logs + "/gone", logs + "/dangling");
  const char* outside = "File must be copied from a log directory";
  const std::map<std::string, std::pair<std::string, json>> entries = {
      {"/var/log/missing", {dest + "/m", "File doesn't exist"}},
      {"/var/log/dangling", {dest + "/dl", "File doesn't exist"}},
      {"/private/var/log/system.log", {dest + "/p", outside}},
      {"/var/logfile", {dest + "/s", outside}},
      {"/var/log", {dest + "/whole", outside}},
      {"/var/log/../../etc/passwd", {dest + "/u", outside}},
      {"/var/log/leads-out", {dest + "/l", outside}},
      {"/var/log/hard", {dest + "/h", outside}},
      {"/etc/hostname", {"/etc/not-a-destination", outside}},
      {"/var/log/./other", {"/etc/evil", "Invalid destination: /etc/evil"}},
      // One file under two spellings: the second in the request's order is refused.
      {"/var/log//good", {dest + "/g2", nullptr}},
      {"/var/log/good", {dest + "/good", "File is named more than once in this request"}},
  };
  std::vector<std::string> args = {"copy"};
  json reasons = json::object();
  for (const auto& [source, entry] : entries) {
    args.push_back(source + "=" + entry.first);
    if (!entry.second.is_null()) reasons[source] = entry.second;
  }
  Answer a = ask(args);
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.result, (json{{"fileErrors", reasons}}));
  EXPECT_EQ(a.error, zebError("com.orvel.zeb.privileged.copyLogFiles", "Some of the files could not be copied"));
  EXPECT_TRUE(fs::is_empty(dest));
  EXPECT_TRUE(d.waitForLog("Some files had errors: \n{\n"));

  // A folder of logs passes the source check, but a file with another name deep inside it is
  // refused like one at the top: nothing of the folder is copied.
  fs::create_directories(logs + "/folder/deeper");
  writeFile(logs + "/folder/plain", "fine");
  fs::create_hard_link(lone, logs + "/folder/deeper/hard");
  a = ask({"copy", "/var/log/folder=" + dest + "/folder"});
  EXPECT_EQ(a.status, 1);
  EXPECT_TRUE(fs::is_empty(dest));
}

TEST_F(Logs, CopyStopsAtTheFirstFailureAndKeepsWhatWasCopied) {
  for (const char* name : {"a", "b", "c"}) writeFile(logs + "/" + name, name);
  writeFile(dest + "/2", "theirs");
  ::chown((dest + "/2").c_str(), kNobody, kNobody);
  Answer a = ask({"copy", "/var/log/a=" + dest + "/1", "/var/log/b=" + dest + "/2", "/var/log/c=" + dest + "/3"});
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.result, json::object());
  EXPECT_EQ(cocoaError(a.error), (json{"NSCocoaErrorDomain", 516}));
  EXPECT_EQ(a.error["userInfo"]["NSFilePath"], dest + "/2");
  EXPECT_EQ(slurp(dest + "/1"), "a");
  EXPECT_EQ(ownerOf(dest + "/1"), kNobody);
  EXPECT_EQ(slurp(dest + "/2"), "theirs");
  EXPECT_FALSE(fs::exists(dest + "/3"));

  // A folder that isn't the client's, directly or through a link the client planted.
  const std::string rootsDir = d.dir() + "/roots";
  fs::create_directories(rootsDir);
  fs::create_symlink(rootsDir, dest + "/planted");
  ::lchown((dest + "/planted").c_str(), kNobody, kNobody);
  for (const std::string& target : {rootsDir + "/x", dest + "/planted/x"}) {
    a = ask({"copy", "/var/log/c=" + target});
    EXPECT_EQ(cocoaError(a.error), (json{"NSCocoaErrorDomain", 513})) << target;
  }
  EXPECT_TRUE(fs::is_empty(rootsDir));
}

TEST_F(Logs, AFullDestinationLeavesNoPartialFile) {
  const std::string small = clientDir(d.dir() + "/small");
  if (::mount("zebtest", small.c_str(), "tmpfs", 0, "size=64k,uid=65534,gid=65534,mode=0755") != 0)
    GTEST_SKIP() << "SKIPPED LOUDLY: cannot mount a tmpfs here";
  std::mt19937 random(42);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  writeFile(logs + "/system.log", noise);

  Answer copy = ask({"copy", "/var/log/system.log=" + small + "/system.log"});
  Answer gather = ask({"syslogs", small});
  ::umount2(small.c_str(), MNT_DETACH);
  EXPECT_EQ(cocoaError(copy.error), (json{"NSCocoaErrorDomain", 640}));
  EXPECT_EQ(gather.result, (json{{"fileErrors", small}}));
  EXPECT_TRUE(fs::is_empty(small));
}

TEST_F(Logs, CopiesStayWithinTheRequestsBytesAndOutOfRootsReservedBlocks) {
  writeFile(logs + "/one", std::string(2000000, '1'));
  writeFile(logs + "/two", std::string(2000000, '2'));
  Answer a = ask({"copy", "/var/log/one=" + dest + "/one", "/var/log/two=" + dest + "/two"});
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.error["userInfo"]["NSFilePath"], dest + "/two");
  EXPECT_EQ(fs::file_size(dest + "/one"), 2000000u);
  EXPECT_FALSE(fs::exists(dest + "/two"));

  // A file system with half its blocks kept for root: 3 MB free for root, about 2 MB for others.
  const std::string image = d.dir() + "/reserved.img", reserved = clientDir(d.dir() + "/reserved");
  ASSERT_EQ(run({"/usr/bin/truncate", "-s", "8M", image}).status, 0);
  ASSERT_EQ(run({"/sbin/mkfs.ext4", "-q", "-m", "50", "-E", "root_owner=65534:65534", image}).status, 0);
  if (run({"/bin/mount", "-o", "loop", image, reserved}).status != 0)
    GTEST_SKIP() << "SKIPPED LOUDLY: cannot mount a loop device here";
  writeFile(logs + "/three", std::string(2500000, '3'));
  a = ask({"copy", "/var/log/three=" + reserved + "/three"});
  const bool left = fs::exists(reserved + "/three");
  run({"/bin/umount", reserved});
  EXPECT_EQ(cocoaError(a.error), (json{"NSCocoaErrorDomain", 640})) << a.error;
  EXPECT_FALSE(left);
}

// Both gatherings answer the second connection, the current client: the first only asks.
int twoGatheringsScenario(const std::string& socket, const std::string& dest) {
  struct Answers final : NullClient {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> got;
    void syslogsDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override {
      const zeb::Value* path = r ? zeb::lookup(*r, "filePath") : nullptr;
      std::lock_guard lock(m);
      got.push_back(e || !path ? "error" : *path->asString());
      cv.notify_all();
    }
  } first, second;
  auto a = ZEBClientConnection::connect(socket, first);
  auto b = ZEBClientConnection::connect(socket, second);
  if (!a.ok() || !b.ok()) return 10;
  const zeb::URL url = zeb::URL::fileURLWithPath(dest);
  (*a)->daemon().gatherSyslogsWithDestination(url);
  (*b)->daemon().gatherSyslogsWithDestination(url);
  std::unique_lock lock(second.m);
  if (!second.cv.wait_for(lock, 60s, [&] { return second.got.size() == 2; })) return 11;
  for (const auto& g : second.got) std::printf("%s\n", g.c_str());
  return 0;
}

// Eight files of 4 MiB: long enough to zip that two gatherings begun together overlap.
void writeLargeFamily(const std::string& logs) {
  std::string text;
  for (int i = 0; text.size() < (4 << 20); ++i) text += "line " + std::to_string(i * 7919 % 100003) + " of the log\n";
  for (int i = 0; i < 8; ++i) writeFile(logs + "/system.log." + std::to_string(i), text);
}

TEST_F(Logs, GatheringsOfOneFamilyAtOnceEachGetWholeArchives) {
  writeLargeFamily(logs);
  const std::string self = fs::read_symlink("/proc/self/exe");
  const std::string client = d.signedCopy(self, "com.orvel.tessel.VellumDrift", {}, "two-gatherings");
  const ProcessResult r = run({client, "--zeb-client", "two-gatherings", d.socketPath(), dest}, 90s);
  ASSERT_EQ(r.status, 0) << r.err << d.log();
  const std::vector<std::string> archives = lines(r.out);
  ASSERT_EQ(archives.size(), 2u) << r.out;
  EXPECT_NE(archives[0], archives[1]);
  for (const std::string& archive : archives) {
    EXPECT_EQ(archiveEntries(archive).size(), 9u) << archive << "\n" << d.log();
    EXPECT_EQ(run({"/usr/bin/unzip", "-tqq", archive}).status, 0) << archive;
  }
}

TEST_F(Logs, DaemonsSharingTheWorkingBaseEachGetWholeArchives) {
  DaemonHarness other;
  writeLargeFamily(logs);
  writeLargeFamily(other.rootDir() + "/var/log");
  ProcessResult theirs;
  std::thread t([&] { theirs = other.zebctl({"syslogs", dest}); });
  const ProcessResult ours = d.zebctl({"syslogs", dest});
  t.join();
  for (const ProcessResult& r : {ours, theirs}) {
    const Answer a = answerOf(r);
    ASSERT_EQ(a.status, 0) << r.out << r.err;
    EXPECT_EQ(archiveEntries(a.result["filePath"]).size(), 9u) << d.log() << other.log();
  }
}

TEST(LogsWorkingFolder, AWorkingFolderThatCannotBeMadeAnswersAsAFailedCopy) {
  DaemonHarness d({}, false);
  fs::create_directories(kWorkingBase);
  // The daemon in a mount namespace of its own where its working base is read-only.
  const std::string script = std::string("mount -t tmpfs -o ro zebtest ") + kWorkingBase + " && exec \"$@\"";
  ProcessResult served;
  std::thread server([&] {
    served = run({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh", daemonPath(),
                  "--socket", d.socketPath(), "--anchors", d.anchorsDir(), "--root", d.rootDir()},
                 60s);
  });
  for (int i = 0; i < 300 && !fs::exists(d.socketPath()); ++i) std::this_thread::sleep_for(10ms);
  if (!fs::exists(d.socketPath())) {
    server.join();
    GTEST_SKIP() << "SKIPPED LOUDLY: cannot give the daemon a mount namespace: " << served.err;
  }
  const Answer a = answerOf(d.zebctl({"installlogs", d.dir()}));
  EXPECT_EQ(a.result, (json{{"filePath", "fail."}}));
  EXPECT_EQ(a.error, zebError("com.orvel.zeb.privileged.copyinstallLogs", "Some of the files could not be copied"));
  EXPECT_EQ(d.zebctl({"stop"}).status, 0);
  server.join();
}

}  // namespace
}  // namespace zebtest

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--zeb-client" && std::string(argv[2]) == "two-gatherings")
    return zebtest::twoGatheringsScenario(argv[3], argv[4]);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
