#include "helper/files/FilePlacement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FilesTestSupport.h"
#include "helper/files/ClientDirectory.h"
#include "helper/files/DirectorySearch.h"
#include "helper/files/Ownership.h"
#include "helper/files/PrivatePlace.h"
#include "platform/filesystem/PathWalk.h"

namespace zeb::files {
namespace {

using namespace std::chrono_literals;

Date birthTime(const std::string& path) {
  struct statx st {};
  EXPECT_EQ(::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &st), 0);
  EXPECT_TRUE(st.stx_mask & STATX_BTIME) << "this file system keeps no birth time";
  return dateFromTimespec(st.stx_btime.tv_sec, static_cast<long>(st.stx_btime.tv_nsec));
}

std::vector<std::string> names(const std::vector<URL>& urls) {
  std::vector<std::string> out;
  for (const URL& url : urls) out.push_back(url.lastPathComponent());
  return out;
}

// A move's answer as the tests compare it: the final path, or nothing with the error in `error`.
std::optional<std::string> moved(Result<std::string> answer, Error* error = nullptr) {
  if (answer) return std::move(answer).value();
  if (error) *error = std::move(answer).takeError();
  return std::nullopt;
}

// Gives the item at the URL (a link there is left alone) as a placement gives what it placed. True
// unless an item below a folder failed.
bool fixPermissions(const FilePlacement& placement, const URL& url, bool recursively) {
  Result<WalkedItem> item = walkPath(url.path(), FinalLink::kOpenLinkItself, FileOperation::kWrite);
  if (!item) return true;  // nothing there: nothing to change
  return reownItem(item->fd.get(), url.path(), placement.client(), recursively).ok();
}

// A search's entries; one that fails fails the test.
std::vector<URL> entriesIn(const FilePlacement& placement, const URL& directory, Date createdAfter, const Regex& pattern) {
  Result<std::vector<URL>> entries = placement.findEntriesInDirectory(directory, createdAfter, pattern);
  EXPECT_TRUE(entries.ok()) << directory.path();
  return entries ? std::move(entries).value() : std::vector<URL>();
}

class FilePlacementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_UNLESS_ROOT();
    dest = tree.makeDir("dest", kClientUid);
    work = tree.makeDir("work");
    // Moves pass through private places of root's, as the daemon's do.
    ASSERT_TRUE(PrivatePlace::prepareBase(tree.path("private")).ok());
  }

  ScratchTree tree;
  std::string dest, work;
  FilePlacement placement{kClientUid};
};

TEST_F(FilePlacementTest, TakenNamesGiveNumberedNames) {
  tree.makeFile("dest/report.tar.gz", "old");
  const std::string report = tree.makeFile("work/report.tar.gz", "new");
  LogCapture log;
  EXPECT_EQ(moved(placement.movePath(report, dest, 0666)), dest + "/report.tar 2.gz");
  EXPECT_NE(log.text().find("Moving " + report + " -> " + dest + "/report.tar.gz"), std::string::npos) << log.text();

  tree.makeDir("dest/Diagnostics");
  tree.makeDir("dest/Diagnostics 2");
  const std::string folder = tree.makeDir("work/Diagnostics");
  tree.makeFile("work/Diagnostics/inside", "x");
  EXPECT_EQ(moved(placement.movePath(folder, dest, 0666)), dest + "/Diagnostics 3");
  EXPECT_EQ(ownerOf(dest + "/Diagnostics 3/inside").uid, kClientUid);
  EXPECT_EQ(readFile(dest + "/report.tar.gz"), "old");
}

TEST_F(FilePlacementTest, GivesUpAfter999NamesAndNeverTriesTheThousandth) {
  tree.makeFile("dest/a.txt", "");
  for (int n = 2; n <= 999; ++n) tree.makeFile("dest/a " + std::to_string(n) + ".txt", "");
  const std::string source = tree.makeFile("work/a.txt", "payload");
  LogCapture log;
  Error error;
  EXPECT_EQ(moved(placement.movePath(source, dest, 0666), &error), std::nullopt);
  EXPECT_EQ(error.domain(), kCocoaErrorDomain);
  EXPECT_EQ(error.code(), kFileWriteFileExistsError);
  EXPECT_NE(log.text().find("Error moving " + source + " -> " + dest + "/a 1000.txt: "), std::string::npos) << log.text();
  EXPECT_EQ(::access((dest + "/a 1000.txt").c_str(), F_OK), -1);
  EXPECT_EQ(readFile(source), "payload");
}

TEST_F(FilePlacementTest, MovingOntoItselfMovesNothingAndStillReowns) {
  const std::string report = tree.makeFile("dest/sysdiagnose.tar.gz", "r", 0, 0640);
  tree.makeLink("rootlink", dest);
  EXPECT_EQ(moved(placement.movePath(report, dest, 0)), report);
  EXPECT_EQ(ownerOf(report).uid, 0u) << "permissions 0 re-own nothing";
  EXPECT_EQ(moved(placement.movePath(report, tree.path("rootlink"), 0666)), tree.path("rootlink/sysdiagnose.tar.gz"));
  EXPECT_EQ(readFile(report), "r");
  EXPECT_EQ(ownerOf(report).uid, kClientUid);
  struct stat st {};
  ASSERT_EQ(::stat(report.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << "the permissions argument is not a mode";
}

TEST_F(FilePlacementTest, SourceLinksAreNeverMovedOrFollowed) {
  const std::string secret = tree.makeFile("work/secret", "root only", 0, 0600);
  for (uid_t owner : {uid_t{0}, kClientUid}) {
    const std::string link = tree.makeLink("work/link" + std::to_string(owner), secret, owner);
    Error error;
    EXPECT_EQ(moved(placement.movePath(link, dest, 0666), &error), std::nullopt);
    EXPECT_EQ(error.code(), kFileWriteNoPermissionError);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dest));
  EXPECT_EQ(ownerOf(secret).uid, 0u);
}

TEST_F(FilePlacementTest, EachPlacementActsForItsOwnUser) {
  const std::string first = tree.makeFile("work/first", "1");
  const std::string second = tree.makeFile("work/second", "2");
  const FilePlacement other(kOtherUid);  // another user's request: the directory is not theirs
  Error error;
  EXPECT_EQ(moved(other.movePath(first, dest, 0666), &error), std::nullopt);
  EXPECT_EQ(error.code(), kFileWriteNoPermissionError);
  EXPECT_EQ(moved(placement.movePath(second, dest, 0666)), dest + "/second");
  EXPECT_EQ(ownerOf(dest + "/second").uid, kClientUid);
  EXPECT_TRUE(fixPermissions(other, URL::fileURLWithPath(dest + "/second"), false));
  EXPECT_EQ(ownerOf(dest + "/second").uid, kOtherUid);
}

TEST_F(FilePlacementTest, FixPermissionsAnswers) {
  EXPECT_TRUE(fixPermissions(placement, URL::fileURLWithPath(dest + "/missing"), true));
  const std::string secret = tree.makeFile("work/secret", "s", 0, 0600);
  const std::string link = tree.makeLink("dest/link", secret, kClientUid);
  EXPECT_TRUE(fixPermissions(placement, URL::fileURLWithPath(link), true));
  EXPECT_EQ(ownerOf(secret).uid, 0u);
  // A link at the URL itself is left alone, link and target.
  const std::string rootLink = tree.makeLink("dest/rootlink", secret, 0);
  EXPECT_TRUE(fixPermissions(placement, URL::fileURLWithPath(rootLink), true));
  EXPECT_EQ(ownerOf(rootLink).uid, 0u);
  tree.makeDir("dest/folder");
  tree.makeFile("dest/folder/a", "a");
  EXPECT_TRUE(fixPermissions(placement, URL::fileURLWithPath(dest + "/folder"), false));
  EXPECT_EQ(ownerOf(dest + "/folder/a").uid, 0u) << "not recursive";
  EXPECT_TRUE(fixPermissions(placement, URL::fileURLWithPath(dest + "/folder"), true));
  EXPECT_EQ(ownerOf(dest + "/folder/a").uid, kClientUid);
}

TEST_F(FilePlacementTest, SearchThresholdIsOneSecondInNanoseconds) {
  const std::string made = tree.makeFile("work/report.tar.gz", "");
  const Date born = birthTime(made);
  const URL dir = URL::fileURLWithPath(work);
  Result<Regex> pattern = Regex::compile("report.*\\.tar\\.gz", false);
  ASSERT_TRUE(pattern.ok());
  EXPECT_EQ(entriesIn(placement, dir, born + 500ms, *pattern).size(), 1u);
  EXPECT_EQ(entriesIn(placement, dir, born + 1s - 1ns, *pattern).size(), 1u);
  EXPECT_TRUE(entriesIn(placement, dir, born + 1s, *pattern).empty());
}

TEST_F(FilePlacementTest, SearchLooksOnlyDirectlyInsideAndSortsByCreation) {
  for (const char* name : {"c.tar", "a.tar", "b.tar"}) {
    tree.makeFile(std::string("work/") + name, "");
    std::this_thread::sleep_for(20ms);  // creation times come from a coarse clock
  }
  tree.makeDir("work/sub.tar");
  tree.makeFile("work/sub.tar/deep.tar", "");
  tree.makeFile("work/x.tar.tar", "");         // two matches
  tree.makeLink("work/link.tar", work + "/a.tar");  // links never qualify
  Result<Regex> pattern = Regex::compile("\\.tar", false);
  ASSERT_TRUE(pattern.ok());
  tree.makeLink("worklink", work);
  LogCapture log;
  const std::vector<URL> found =
      entriesIn(placement, URL::fileURLWithPath(tree.path("worklink")), now() - 10s, *pattern);
  EXPECT_EQ(names(found), (std::vector<std::string>{"c.tar", "a.tar", "b.tar", "sub.tar"}));
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found.front().path(), work + "/c.tar") << "below the resolved directory";
  EXPECT_NE(log.text().find("Looking in " + work + " for files created after "), std::string::npos) << log.text();
  EXPECT_NE(log.text().find(" +0000 with pattern \\.tar"), std::string::npos) << log.text();
}

TEST_F(FilePlacementTest, AFloodedDirectoryAnswersOnlyTheNewestEntries) {
  tree.makeFile("work/oldest.log", "");
  std::this_thread::sleep_for(20ms);
  for (std::size_t i = 0; i < kMaxSearchResults; ++i) tree.makeFile("work/" + std::to_string(100000 + i) + ".log", "");
  Result<Regex> pattern = Regex::compile("\\.log$", false);
  ASSERT_TRUE(pattern.ok());
  const std::vector<URL> found = entriesIn(placement, URL::fileURLWithPath(work), now() - 10s, *pattern);
  ASSERT_EQ(found.size(), kMaxSearchResults);
  EXPECT_NE(found.front().lastPathComponent(), "oldest.log");
  EXPECT_EQ(found.back().lastPathComponent(), std::to_string(100000 + kMaxSearchResults - 1) + ".log");
}

TEST_F(FilePlacementTest, UnreadableOrMissingDirectoriesGiveEmptyAnswers) {
  tree.makeDir("locked", 0, 0000);
  tree.makeFile("locked/report", "");
  Result<Regex> pattern = Regex::compile("report", false);
  ASSERT_TRUE(pattern.ok());
  EXPECT_TRUE(asClient([&] {
    return entriesIn(placement, URL::fileURLWithPath(tree.path("locked")), now() - 10s, *pattern).empty();
  }));
  EXPECT_EQ(entriesIn(placement, URL::fileURLWithPath(tree.path("locked")), now() - 10s, *pattern).size(), 1u);
  tree.makeLink("clientlink", tree.path("locked"), kClientUid);
  EXPECT_TRUE(entriesIn(placement, URL::fileURLWithPath(tree.path("clientlink")), now() - 10s, *pattern).empty());
  LogCapture log;
  EXPECT_TRUE(entriesIn(placement, URL::fileURLWithPath(tree.path("nowhere")), now(), *pattern).empty());
  EXPECT_NE(log.text().find("Looking in " + tree.path("nowhere")), std::string::npos);
}

TEST_F(FilePlacementTest, OddNamesArePlacedFoundAndLoggedSafely) {
  const std::string odd = "we ird\nname \xff\xfe.txt";
  const std::string source = tree.makeFile("work/" + odd, "1");
  tree.makeFile("dest/" + odd, "0");
  LogCapture log;
  EXPECT_EQ(moved(placement.movePath(source, dest, 0666)), dest + "/we ird\nname \xff\xfe 2.txt");
  Result<Regex> pattern = Regex::compile("name", false);
  ASSERT_TRUE(pattern.ok());
  const std::vector<URL> found = entriesIn(placement, URL::fileURLWithPath(dest), now() - 10s, *pattern);
  EXPECT_EQ(std::set<std::string>({found.at(0).path(), found.at(1).path()}),
            std::set<std::string>({dest + "/" + odd, dest + "/we ird\nname \xff\xfe 2.txt"}));
  const std::string text = log.text();
  EXPECT_NE(text.find("we ird\\x0Aname \\xFF\\xFE.txt"), std::string::npos) << text;
  EXPECT_EQ(text.find("we ird\n"), std::string::npos) << "a name must not break a log line";
}

TEST_F(FilePlacementTest, RacingMovesForOneNameAllLand) {
  constexpr int kMovers = 8;
  for (int round = 0; round < 5; ++round) {
    std::vector<std::string> sources;
    for (int i = 0; i < kMovers; ++i) {
      tree.makeDir("work/" + std::to_string(round) + "-" + std::to_string(i));
      sources.push_back(tree.makeFile("work/" + std::to_string(round) + "-" + std::to_string(i) + "/r" +
                                          std::to_string(round) + ".zip",
                                      std::to_string(i)));
    }
    std::vector<std::optional<std::string>> results(kMovers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kMovers; ++i) threads.emplace_back([&, i] { results[i] = moved(placement.movePath(sources[i], dest, 0666)); });
    for (std::thread& t : threads) t.join();
    std::set<std::string> landed, contents;
    for (int i = 0; i < kMovers; ++i) {
      ASSERT_TRUE(results[i].has_value());
      landed.insert(*results[i]);
      contents.insert(readFile(*results[i]));
    }
    EXPECT_EQ(landed.size(), static_cast<std::size_t>(kMovers));
    EXPECT_EQ(contents.size(), static_cast<std::size_t>(kMovers));
  }
}

// A separate process that watches the final names while a move across file systems runs, and fails
// if it ever sees one of them incomplete.
class Watcher {
 public:
  Watcher(std::string file, off_t fileSize, std::string folder, std::size_t folderEntries) {
    pid_ = ::fork();
    if (pid_ != 0) return;
    while (true) {
      struct stat st {};
      if (::lstat(file.c_str(), &st) == 0 && st.st_size != fileSize) ::_exit(1);
      std::error_code ec;
      if (std::filesystem::exists(folder, ec)) {
        std::size_t count = 0;
        for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
             it.increment(ec))
          ++count;
        if (!ec && count != folderEntries) ::_exit(1);
      }
    }
  }
  // True when it never saw a partial item.
  bool stop() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    return WIFSIGNALED(status);
  }

 private:
  pid_t pid_;
};

TEST_F(FilePlacementTest, MovesAcrossFileSystemsAreNeverSeenHalfDone) {
  TmpfsMount fs(tree.path("tmpfs"), 256 << 20);
  if (!fs.mounted()) GTEST_SKIP() << "SKIPPED LOUDLY: cannot mount a tmpfs here";
  const std::string target = tree.makeDir("tmpfs/dest", kClientUid);
  const std::string big = tree.path("work/big.bin");
  constexpr off_t kBig = 64 << 20;
  {
    std::FILE* f = std::fopen(big.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<char> chunk(1 << 20, 'z');
    for (off_t done = 0; done < kBig; done += static_cast<off_t>(chunk.size())) std::fwrite(chunk.data(), 1, chunk.size(), f);
    std::fclose(f);
  }
  constexpr std::size_t kFiles = 200;
  tree.makeDir("work/Folder");
  for (std::size_t i = 0; i < kFiles; ++i) tree.makeFile("work/Folder/f" + std::to_string(i), std::string(4096, 'f'));
  tree.makeLink("work/Folder/link", "/etc/passwd");

  Watcher watcher(target + "/big.bin", kBig, target + "/Folder", kFiles + 1);
  EXPECT_EQ(moved(placement.movePath(big, target, 0666)), target + "/big.bin");
  EXPECT_EQ(moved(placement.movePath(tree.path("work/Folder"), target, 0666)), target + "/Folder");
  EXPECT_TRUE(watcher.stop()) << "a partial item showed under its final name";

  EXPECT_EQ(::access(big.c_str(), F_OK), -1) << "the source goes once the copy is in place";
  EXPECT_EQ(::access(tree.path("work/Folder").c_str(), F_OK), -1);
  EXPECT_EQ(std::filesystem::file_size(target + "/big.bin"), static_cast<std::uintmax_t>(kBig));
  EXPECT_EQ(ownerOf(target + "/Folder/f7").uid, kClientUid);
  EXPECT_EQ(std::filesystem::read_symlink(target + "/Folder/link"), "/etc/passwd");
  EXPECT_EQ(ownerOf("/etc/passwd").uid, 0u);

  // A hard link to a root-only file keeps its owner when renamed; a copy must not lose that.
  const std::string secret = tree.makeFile("work/secret", "root only", 0, 0600);
  tree.makeDir("work/Linked");
  ASSERT_EQ(::link(secret.c_str(), tree.path("work/Linked/hard").c_str()), 0);
  EXPECT_EQ(moved(placement.movePath(tree.path("work/Linked"), target, 0666)), std::nullopt);
  EXPECT_EQ(::access((target + "/Linked").c_str(), F_OK), -1);
  EXPECT_EQ(ownerOf(secret).uid, 0u);
  // So does a hard-linked file moved on its own.
  const std::string linked = tree.makeFile("work/linked.txt", "root only", 0, 0600);
  ASSERT_EQ(::link(linked.c_str(), tree.path("work/second-name").c_str()), 0);
  EXPECT_EQ(moved(placement.movePath(linked, target, 0666)), std::nullopt);
  EXPECT_EQ(::access((target + "/linked.txt").c_str(), F_OK), -1);
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(target)) entries += !entry.path().empty();
  EXPECT_EQ(entries, 2u) << "no staging left behind";
}

TEST_F(FilePlacementTest, AFullFileSystemLeavesNothingBehind) {
  TmpfsMount fs(tree.path("small"), 1 << 20);
  if (!fs.mounted()) GTEST_SKIP() << "SKIPPED LOUDLY: cannot mount a tmpfs here";
  const std::string target = tree.makeDir("small/dest", kClientUid);
  const std::string source = tree.makeFile("work/too-big", std::string(4 << 20, 'x'));
  tree.makeDir("work/TooBig");
  tree.makeFile("work/TooBig/part", std::string(4 << 20, 'y'));
  for (const std::string& item : {source, tree.path("work/TooBig")}) {
    Error error;
    EXPECT_EQ(moved(placement.movePath(item, target, 0666), &error), std::nullopt);
    EXPECT_EQ(error.code(), kFileWriteOutOfSpaceError);
  }
  EXPECT_TRUE(std::filesystem::is_empty(target));
  EXPECT_EQ(std::filesystem::file_size(source), static_cast<std::uintmax_t>(4 << 20));
  EXPECT_EQ(std::filesystem::file_size(tree.path("work/TooBig/part")), static_cast<std::uintmax_t>(4 << 20));
}

}  // namespace
}  // namespace zeb::files
