#include "platform/filesystem/PathWalk.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "FilesTestSupport.h"
#include "helper/files/ClientDirectory.h"

namespace zeb::files {
namespace {

int underlyingErrno(const Error& error) {
  const Value* underlying = lookup(error.userInfo(), kUnderlyingErrorKey);
  return underlying && underlying->asError() ? static_cast<int>(underlying->asError()->code()) : 0;
}

class PathWalkTest : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_UNLESS_ROOT(); }
  ScratchTree tree;
};

TEST_F(PathWalkTest, FollowsOnlyLinksThatRootOwns) {
  tree.makeDir("real", kClientUid);
  tree.makeLink("rootlink", tree.path("real"));
  tree.makeLink("clientlink", tree.path("real"), kClientUid);
  tree.makeLink("relative", "./real/../real");

  Result<WalkedItem> viaRoot = walkPath(tree.path("rootlink"), FinalLink::kFollow, FileOperation::kWrite);
  ASSERT_TRUE(viaRoot.ok());
  EXPECT_EQ(viaRoot->resolvedPath, tree.path("real"));
  Result<WalkedItem> viaRelative = walkPath(tree.path("relative"), FinalLink::kFollow, FileOperation::kWrite);
  ASSERT_TRUE(viaRelative.ok());
  EXPECT_EQ(viaRelative->resolvedPath, tree.path("real"));

  for (const std::string& path : {tree.path("clientlink"), tree.path("clientlink/x")}) {
    Result<WalkedItem> refused = walkPath(path, FinalLink::kFollow, FileOperation::kWrite);
    ASSERT_FALSE(refused.ok()) << path;
    EXPECT_EQ(refused.error().code(), kFileWriteNoPermissionError);
    EXPECT_EQ(underlyingErrno(refused.error()), ELOOP);
  }
  Result<WalkedItem> itself = walkPath(tree.path("clientlink"), FinalLink::kOpenLinkItself, FileOperation::kWrite);
  ASSERT_TRUE(itself.ok());
  EXPECT_TRUE(S_ISLNK(itself->status.st_mode));
}

TEST_F(PathWalkTest, DotDotIsTextualForTheClientsPart) {
  // rootlink/.. would physically be deep/; as text it is the scratch root, which the policy saw.
  tree.makeDir("deep", 0);
  tree.makeDir("deep/real", kClientUid);
  tree.makeLink("rootlink", tree.path("deep/real"));
  Result<WalkedItem> item = walkPath(tree.path("rootlink/.."), FinalLink::kFollow, FileOperation::kRead);
  ASSERT_TRUE(item.ok());
  EXPECT_EQ(item->resolvedPath, tree.root());
}

TEST_F(PathWalkTest, BoundsLinksAndText) {
  tree.makeLink("loop1", tree.path("loop2"));
  tree.makeLink("loop2", tree.path("loop1"));
  tree.makeDir("end");
  std::string previous = tree.path("end");
  for (int i = 0; i <= kMaxSymlinks; ++i) previous = tree.makeLink("chain" + std::to_string(i), previous);
  for (const std::string& path : {tree.path("loop1"), previous}) {
    Result<WalkedItem> r = walkPath(path, FinalLink::kFollow, FileOperation::kRead);
    ASSERT_FALSE(r.ok()) << path;
    EXPECT_EQ(underlyingErrno(r.error()), ELOOP);
  }
  EXPECT_TRUE(walkPath(tree.path("chain5"), FinalLink::kFollow, FileOperation::kRead).ok());
  for (const std::string& path : {std::string("relative/path"), std::string(), "/" + std::string(kMaxPathLength, 'a'),
                                  std::string("/tmp\0/etc", 9)}) {
    EXPECT_FALSE(walkPath(path, FinalLink::kFollow, FileOperation::kRead).ok());
  }
}

}  // namespace
}  // namespace zeb::files
