#include "helper/files/ClientDirectory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "FilesTestSupport.h"
#include "helper/files/Ownership.h"
#include "helper/files/Staging.h"

namespace zeb::files {
namespace {

class ClientDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_UNLESS_ROOT();
    dest = tree.makeDir("dest", kClientUid);
    rootDir = tree.makeDir("rootdir");
    secret = tree.makeFile("rootdir/secret", "root only", 0, 0600);
  }
  ScratchTree tree;
  std::string dest, rootDir, secret;
};

TEST_F(ClientDirectoryTest, RefusesPlantedLinksAndForeignDirectories) {
  tree.makeDir("other", kOtherUid);
  ASSERT_TRUE(asClient([&] {
    return ::symlink(rootDir.c_str(), (dest + "/to-root").c_str()) == 0 &&
           ::symlink(tree.path("other").c_str(), (dest + "/to-other").c_str()) == 0;
  }));
  for (const std::string& path : {dest + "/to-root", dest + "/to-other", tree.path("other"), rootDir}) {
    Result<ClientDirectory> dir = ClientDirectory::open(path, kClientUid);
    ASSERT_FALSE(dir.ok()) << path;
    EXPECT_EQ(dir.error().domain(), kCocoaErrorDomain);
    EXPECT_EQ(dir.error().code(), kFileWriteNoPermissionError) << path;
    EXPECT_FALSE(copyItemToPath(pinnedItem(secret).get(), secret, path + "/copy", kClientUid).ok());
  }
  EXPECT_TRUE(ClientDirectory::open(rootDir, 0).ok()) << "root may write where it likes";
  EXPECT_EQ(::access((rootDir + "/copy").c_str(), F_OK), -1);
  EXPECT_EQ(::access((tree.path("other") + "/copy").c_str(), F_OK), -1);

  tree.makeLink("rootlink", dest);  // a root-owned link is the system's: followed
  Result<ClientDirectory> viaRootLink = ClientDirectory::open(tree.path("rootlink"), kClientUid);
  ASSERT_TRUE(viaRootLink.ok());
  EXPECT_EQ(viaRootLink->path(), tree.path("rootlink"));
  EXPECT_EQ(viaRootLink->resolvedPath(), dest);
}

TEST_F(ClientDirectoryTest, PinnedDirectoryStaysPutWhenThePathIsSwapped) {
  Result<ClientDirectory> dir = ClientDirectory::open(dest, kClientUid);
  ASSERT_TRUE(dir.ok());
  // Whoever swaps it: even a root-owned link at the old path changes nothing for the pinned descriptor.
  ASSERT_EQ(::rename(dest.c_str(), (dest + "-moved").c_str()), 0);
  ASSERT_EQ(::symlink(rootDir.c_str(), dest.c_str()), 0);
  const int fd = ::open((dir->pinnedPath() + "/from-tool").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(::access((dest + "-moved/from-tool").c_str(), F_OK), 0);
  EXPECT_EQ(::access((rootDir + "/from-tool").c_str(), F_OK), -1);
  Result<PlacedItem> copy = dir->copyItem(pinnedItem(secret).get(), secret, "copy");
  ASSERT_TRUE(copy.ok());
  EXPECT_EQ(readFile(dest + "-moved/copy"), "root only");
}

TEST_F(ClientDirectoryTest, ALinkPlantedAtTheTargetNameIsNeverReplacedOrFollowed) {
  ASSERT_TRUE(asClient([&] { return ::symlink(secret.c_str(), (dest + "/report.txt").c_str()) == 0; }));
  const std::string source = tree.makeFile("report.txt", "new report");
  Result<PlacedItem> copy = copyItemToPath(pinnedItem(source).get(), source, dest + "/report.txt", kClientUid);
  ASSERT_FALSE(copy.ok());
  EXPECT_EQ(copy.error().code(), kFileWriteFileExistsError);

  Result<ClientDirectory> dir = ClientDirectory::open(dest, kClientUid);
  ASSERT_TRUE(dir.ok());
  Result<PlacedItem> moved = dir->moveItem(source);
  ASSERT_TRUE(moved.ok());
  EXPECT_EQ(moved->name, "report 2.txt");
  EXPECT_EQ(readFile(secret), "root only");
  EXPECT_EQ(ownerOf(secret).uid, 0u);
  EXPECT_TRUE(reownItem(moved->fd.get(), moved->path, kClientUid, true));
  EXPECT_EQ(ownerOf(dest + "/report 2.txt").uid, kClientUid);
}

TEST_F(ClientDirectoryTest, CreatedFilesAppearWholeOrNotAtAll) {
  for (bool named : {false, true}) {
    forceNamedTemporaryFiles(named);
    Result<ClientDirectory> dir = ClientDirectory::open(dest, kClientUid);
    ASSERT_TRUE(dir.ok());
    const std::string name = named ? "named" : "unnamed";
    Result<PlacedItem> failed = dir->createFile(name, 0640, [](int fd) -> Status {
      EXPECT_EQ(::write(fd, "half", 4), 4);
      return Error::withDescription("test", 1, "writer failed");
    });
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().domain(), "test");
    Result<PlacedItem> made = dir->createFile(name, 0640, [](int fd) -> Status {
      return ::write(fd, "whole", 5) == 5 ? Status(Ok{}) : Status(posixError(errno));
    });
    ASSERT_TRUE(made.ok());
    Result<PlacedItem> again = dir->createFile(name, 0640, [](int) -> Status { return Ok{}; });
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().code(), kFileWriteFileExistsError);
    EXPECT_EQ(readFile(dest + "/" + name), "whole");
    struct stat st {};
    ASSERT_EQ(::stat((dest + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
  }
  forceNamedTemporaryFiles(false);
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dest)) entries += !entry.path().empty();
  EXPECT_EQ(entries, 2) << "no temporary left behind";
}

TEST_F(ClientDirectoryTest, ReowningNeverReachesThroughLinksOrHardLinks) {
  const std::string folder = tree.makeDir("dest/Diagnostics");
  tree.makeFile("dest/Diagnostics/log.txt", "log");
  tree.makeDir("dest/Diagnostics/sub");
  tree.makeFile("dest/Diagnostics/sub/deep.txt", "deep");
  tree.makeLink("dest/Diagnostics/sub/to-secret", secret);
  // Targets with one name each, so that only the link rule can keep them root's.
  const std::string lone = tree.makeFile("rootdir/lone", "root only", 0, 0600);
  const std::string secretDir = tree.makeDir("rootdir/private", 0, 0700);
  const std::string inSecretDir = tree.makeFile("rootdir/private/key", "root only", 0, 0600);
  tree.makeLink("dest/Diagnostics/to-lone", lone);
  tree.makeLink("dest/Diagnostics/sub/to-dir", secretDir);
  ASSERT_EQ(::link(secret.c_str(), (folder + "/hard").c_str()), 0);
  // Another file system mounted inside: the walk gives away nothing of it.
  TmpfsMount mount(folder + "/mnt", 1 << 20);
  ASSERT_TRUE(mount.mounted());
  const std::string mountedFile = tree.makeFile("dest/Diagnostics/mnt/other-fs", "not ours");
  Result<ClientDirectory> dir = ClientDirectory::open(dest, kClientUid);
  ASSERT_TRUE(dir.ok());
  Result<PlacedItem> item = dir->openEntry("Diagnostics");
  ASSERT_TRUE(item.ok());
  LogCapture log;
  EXPECT_FALSE(reownItem(item->fd.get(), item->path, kClientUid, true));
  for (const char* mine : {"", "/log.txt", "/sub", "/sub/deep.txt"}) EXPECT_EQ(ownerOf(folder + mine).uid, kClientUid) << mine;
  for (const std::string& root : {secret, lone, secretDir, inSecretDir, mountedFile, folder + "/mnt"}) EXPECT_EQ(ownerOf(root).uid, 0u) << root;
  // The links themselves were placed with the folder: they are the client's now.
  for (const char* link : {"/sub/to-secret", "/to-lone", "/sub/to-dir"}) EXPECT_EQ(ownerOf(folder + link).uid, kClientUid) << link;
  EXPECT_NE(log.text().find("Error updating permissions of " + folder + "/hard: "), std::string::npos) << log.text();
}

TEST_F(ClientDirectoryTest, AMoveAcrossFileSystemsLeavesAHardLinkedFileWhereItIs) {
  TmpfsMount mount(tree.path("other-fs"), 1 << 20);
  ASSERT_TRUE(mount.mounted());
  const std::string target = tree.makeDir("other-fs/dest", kClientUid);
  const std::string linked = tree.makeFile("rootdir/linked", "root only", 0, 0600);
  ASSERT_EQ(::link(linked.c_str(), tree.path("rootdir/second-name").c_str()), 0);
  Result<ClientDirectory> dir = ClientDirectory::open(target, kClientUid);
  ASSERT_TRUE(dir.ok());
  // The copy a move across file systems makes keeps its owner: it would carry the file's content
  // out from under its other name.
  Result<PlacedItem> moved = dir->moveItem(linked);
  ASSERT_FALSE(moved.ok());
  EXPECT_EQ(posixErrorCode(moved.error()), EMLINK);
  EXPECT_TRUE(std::filesystem::is_empty(target));
  EXPECT_EQ(readFile(linked), "root only");
}

TEST(NumberedNameTest, SplitsOnlyTheLastExtension) {
  EXPECT_EQ(numberedName("report.tar.gz", 2), "report.tar 2.gz");
  EXPECT_EQ(numberedName("Diagnostics", 3), "Diagnostics 3");
  EXPECT_EQ(numberedName(".profile", 2), ".profile 2");
  EXPECT_EQ(numberedName("notes.", 2), "notes. 2");
  EXPECT_EQ(numberedName("a b.c d", 999), "a b 999.c d");
}

}  // namespace
}  // namespace zeb::files
