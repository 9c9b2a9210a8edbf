// The one tree walk and the removal built on it: the limits every copy, re-own, removal and pruning
// shares, on a real tree in a scratch folder.
#include "platform/filesystem/TreeWalk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/filesystem/ItemRemoval.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb::files {
namespace {

namespace fs = std::filesystem;

// Records the walk as "+name" on entering an item, "-name" on leaving a folder, "!path" on a failure.
class Recorder final : public TreeVisitor {
 public:
  Result<Visit> enter(const TreeEntry& entry) override {
    events.push_back("+" + std::string(entry.name));
    return Visit::kEnter;
  }
  Status leave(const TreeEntry& entry) override {
    events.push_back("-" + std::string(entry.name));
    return Ok{};
  }
  Status failed(std::string_view path, Error error) override {
    events.push_back("!" + std::string(path));
    errors.push_back(posixErrorCode(error));
    return Ok{};
  }
  std::vector<std::string> events;
  std::vector<int> errors;
};

class TreeWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/zeb-treewalk-XXXXXX";
    ASSERT_NE(::mkdtemp(path), nullptr);
    root = path;
  }
  void TearDown() override { fs::remove_all(root); }
  UniqueFd open(const std::string& relative) const {
    return UniqueFd(::open((root + "/" + relative).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  std::string root;
};

TEST_F(TreeWalkTest, VisitsDepthFirstNeverThroughALinkAndStopsAtTheDepthLimit) {
  fs::create_directories(root + "/top/a/b");
  std::ofstream(root + "/top/a/b/file") << "x";
  fs::create_directory_symlink(root + "/top/a", root + "/top/link");
  std::string deep = root + "/top/deep";
  for (std::size_t i = 0; i <= kMaxTreeDepth; ++i) deep += "/d";
  fs::create_directories(deep);

  Recorder shallow;
  ASSERT_TRUE(walkTree(open("top/a").get(), root + "/top/a", shallow).ok());
  EXPECT_EQ(shallow.events, (std::vector<std::string>{"+b", "+file", "-b"}));

  Recorder all;
  ASSERT_TRUE(walkTree(open("top").get(), root + "/top", all).ok());
  EXPECT_EQ(std::count(all.events.begin(), all.events.end(), "+link"), 1);
  EXPECT_EQ(std::count(all.events.begin(), all.events.end(), "+file"), 1) << "the link was entered";
  ASSERT_EQ(all.errors, std::vector<int>{ELOOP}) << "the folder past the limit is refused, once";
  EXPECT_EQ(std::count(all.events.begin(), all.events.end(), "+d"), static_cast<long>(kMaxTreeDepth) - 1);
}

TEST_F(TreeWalkTest, RemovalTakesEverythingButWhatHasChangedUnderIt) {
  fs::create_directories(root + "/gone/inner/more");
  std::ofstream(root + "/gone/inner/more/file") << "x";
  std::ofstream(root + "/outside") << "kept";
  fs::create_symlink(root + "/outside", root + "/gone/inner/link");
  struct stat st {};
  ASSERT_EQ(::lstat((root + "/gone").c_str(), &st), 0);
  const UniqueFd parent = open("");
  ASSERT_TRUE(removeItem(parent.get(), "gone", st, root + "/gone").ok());
  EXPECT_FALSE(fs::exists(root + "/gone"));
  EXPECT_TRUE(fs::exists(root + "/outside")) << "a link goes, never its target";

  // A name that no longer holds the item meant is left alone.
  fs::create_directory(root + "/swapped");
  fs::create_directories(root + "/other/keep");
  ASSERT_EQ(::lstat((root + "/swapped").c_str(), &st), 0);
  fs::remove(root + "/swapped");
  fs::rename(root + "/other", root + "/swapped");
  const Status refused = removeItem(parent.get(), "swapped", st, root + "/swapped");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(posixErrorCode(refused.error()), EBUSY);
  EXPECT_TRUE(fs::exists(root + "/swapped/keep"));
}

}  // namespace
}  // namespace zeb::files
