// FRXSFTP's remote file operations against a real sshd: connect rules, listing, attributes, removal
// and directory creation, with the delegate callbacks each one sends.
#include <Ferrix/Ferrix.h>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>

#include "RecordingDelegate.h"
#include "SshServer.h"
#include "TestFiles.h"

namespace {

SshServer& server() { return SshServer::shared(); }

using Events = std::vector<std::string>;

class FRXSFTPTest : public testing::Test {
protected:
  void SetUp() override {
    sftp_ = std::make_unique<FRXSFTP>("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
    sftp_->setPort(server().port());
    sftp_->setDelegate(&delegate_);
    FRXError error;
    ASSERT_TRUE(sftp_->connectWithError(&error)) << error.description();
    remote_ = server().newRemoteDirectory(testing::UnitTest::GetInstance()->current_test_info()->name());
  }

  // Made by the test process, then handed to the login user.
  void makeRemoteFile(const std::string& path, const std::string& bytes = "hello") {
    writeFile(path, bytes);
    server().giveToUser(path);
  }
  void makeRemoteDirectory(const std::string& path) {
    mkdir(path.c_str(), 0755);
    server().giveToUser(path);
  }

  RecordingDelegate delegate_;
  std::unique_ptr<FRXSFTP> sftp_;
  std::string remote_;
};

TEST(FRXSFTPConnect, ConnectRulesAndTheSpeedFlag) {
  SpeedRecordingDelegate speedy;
  RecordingDelegate plain;
  FRXSFTP sftp("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
  sftp.setPort(server().port());
  sftp.setDelegate(&speedy);
  ASSERT_TRUE(sftp.connectWithError());
  EXPECT_EQ(shouldUpdateSpeed.load(), 1);
  EXPECT_TRUE(speedy.events.empty());  // a successful connect sends nothing

  // Connected already: YES, no callback, and the flag follows the current delegate.
  sftp.setDelegate(&plain);
  FRXError untouched;
  EXPECT_TRUE(sftp.connectWithError(&untouched));
  EXPECT_TRUE(untouched.domain.empty());
  EXPECT_TRUE(plain.events.empty());
  EXPECT_EQ(shouldUpdateSpeed.load(), 0);

  sftp.disconnect();
  EXPECT_FALSE(sftp.isConnected());
  EXPECT_TRUE(sftp.connectWithError());
}

TEST(FRXSFTPConnect, ASessionLeftByAFailedLoginBlocksReconnectingUntilDisconnect) {
  RecordingDelegate delegate;
  FRXSFTP sftp("127.0.0.1", server().user(), server().strangerPrivateKeyPath(), std::nullopt);
  sftp.setPort(server().port());
  sftp.setDelegate(&delegate);
  FRXError error;
  EXPECT_FALSE(sftp.connectWithError(&error));
  EXPECT_EQ(error.domain, "frx_error_domain");
  EXPECT_EQ(delegate.events, Events{"fail:frx_error_domain:1"});
  EXPECT_FALSE(sftp.isConnected());

  // Even with a good key now, the held session answers NO; the delegate hears no error, the caller
  // learns why.
  sftp.setPrivateKeyPath(server().privateKeyPath());
  FRXError second;
  EXPECT_FALSE(sftp.connectWithError(&second));
  EXPECT_EQ(second.code, FRXSFTPErrorConnection);
  EXPECT_EQ(delegate.events.back(), "fail:none");

  sftp.disconnect();
  EXPECT_TRUE(sftp.connectWithError(&error)) << error.description();
}

TEST(FRXSFTPConnect, EveryOperationRefusesWithoutAConnection) {
  RecordingDelegate delegate;
  FRXSFTP sftp("127.0.0.1", "nobody", FRXPassword("password"));
  sftp.setDelegate(&delegate);
  const std::string local = server().localDirectory() + "/exists";
  writeFile(local, "x");

  auto expectNoConnection = [](const FRXError& error) {
    EXPECT_EQ(error.domain, "frx_sftp_error_domain");
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(error.localizedDescription, "No SFTP connection.");
  };
  FRXError error;
  EXPECT_TRUE(sftp.contentsOfDirectoryAtPath("/", &error).empty());
  expectNoConnection(error);
  EXPECT_FALSE(sftp.attributesOfItemAtPath("/", &(error = {})));
  expectNoConnection(error);
  EXPECT_FALSE(sftp.removeItemAtPath("/x", &(error = {})));
  expectNoConnection(error);
  EXPECT_FALSE(sftp.createDirectoryAtPath("/x", true, &(error = {})));
  expectNoConnection(error);
  EXPECT_FALSE(sftp.copyItemAtPath(local, "/x", &(error = {})));
  expectNoConnection(error);
  EXPECT_FALSE(sftp.copyItemAtRemotePath("/x", local + ".copy", &(error = {})));
  expectNoConnection(error);
  const std::string c0 = "fail:frx_sftp_error_domain:0";
  EXPECT_EQ(delegate.events, (Events{c0, c0, c0, c0, c0, c0}));

  // The removals of directories store the error but tell the delegate without it.
  delegate.clear();
  EXPECT_FALSE(sftp.removeDirectoryAtPath("/x", &(error = {})));
  expectNoConnection(error);
  EXPECT_FALSE(sftp.removeAllContentsOfDirectoryAtPath("/x", &(error = {})));
  expectNoConnection(error);
  EXPECT_EQ(delegate.events, (Events{"fail:none", "fail:none"}));

  // The single creation tests the connection through its listing and adds no callback of its own.
  delegate.clear();
  EXPECT_FALSE(sftp.createDirectoryAtPath("/x", &(error = {})));
  expectNoConnection(error);
  EXPECT_EQ(delegate.events, Events{c0});
}

TEST_F(FRXSFTPTest, ListingHasEveryEntryWithPermissionsAndSize) {
  makeRemoteFile(remote_ + "/file", "12345");
  makeRemoteDirectory(remote_ + "/sub");
  makeRemoteFile(remote_ + "/.hidden");
  FRXError error;
  const auto entries = sftp_->contentsOfDirectoryAtPath(remote_, &error);
  EXPECT_TRUE(error.domain.empty());
  std::map<std::string, FRXSFTPRecord> byName;
  for (const auto& entry : entries) byName[entry.name] = entry;
  EXPECT_EQ(entries.size(), 5u);
  for (const char* name : {".", "..", "file", "sub", ".hidden"}) EXPECT_TRUE(byName.count(name)) << name;
  EXPECT_EQ(byName["file"].permissions, 0100644u);
  EXPECT_EQ(byName["file"].size, 5);
  EXPECT_EQ(byName["sub"].permissions & 0xF000, 0x4000u);

  const FRXSFTPRecord& file = byName["file"];
  EXPECT_EQ(std::get<std::string>(*file.valueForKey("fx_sftp_fs_name_key")), "file");
  EXPECT_EQ(std::get<std::uint64_t>(*file.valueForKey("fx_sftp_fs_perm_key")), 0100644u);
  EXPECT_EQ(std::get<std::int64_t>(*file.valueForKey("fx_sftp_fs_size_key")), 5);
  EXPECT_FALSE(file.valueForKey("fx_sftp_fs_other_key"));
  EXPECT_EQ(delegate_.events, Events{"complete"});

  delegate_.clear();
  EXPECT_TRUE(sftp_->contentsOfDirectoryAtPath(remote_ + "/missing", &error).empty());
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.localizedDescription, "Remote directory couldn't be found.");
  EXPECT_EQ(delegate_.events, Events{"fail:frx_sftp_error_domain:2"});
}

TEST_F(FRXSFTPTest, TimesSetAreReadBackWithTheOwnerAndTheServersLongEntry) {
  makeRemoteFile(remote_ + "/file", "12345");
  FRXError error;
  ASSERT_TRUE(sftp_->setTimesOfItemAtPath(remote_ + "/file", 1000000000, 1234567890, &error)) << error.description();
  struct stat local {};
  ASSERT_EQ(stat((remote_ + "/file").c_str(), &local), 0);
  EXPECT_EQ(local.st_mtim.tv_sec, 1234567890);
  EXPECT_EQ(local.st_atim.tv_sec, 1000000000);

  const auto item = sftp_->attributesOfItemAtPath(remote_ + "/file", &error);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->modificationTime, 1234567890);
  EXPECT_EQ(item->accessTime, 1000000000);
  EXPECT_EQ(item->uid, std::optional<std::uint64_t>(local.st_uid));
  EXPECT_EQ(item->gid, std::optional<std::uint64_t>(local.st_gid));
  EXPECT_TRUE(item->longEntry.empty());
  bool listed = false;
  for (const FRXSFTPRecord& entry : sftp_->contentsOfDirectoryAtPath(remote_, &error)) {
    if (entry.name != "file") continue;
    listed = true;
    EXPECT_EQ(entry.modificationTime, 1234567890);
    EXPECT_EQ(entry.uid, item->uid);
    // OpenSSH's line: mode, links, owner, group, size, date, name.
    EXPECT_TRUE(std::regex_match(entry.longEntry, std::regex("-rw-r--r-- +1 +\\S+ +\\S+ +5 Feb 1[34] +2009 file")))
        << entry.longEntry;
  }
  EXPECT_TRUE(listed);

  delegate_.clear();
  EXPECT_FALSE(sftp_->setTimesOfItemAtPath(remote_ + "/missing", 0, 0, &error));
  EXPECT_EQ(error.reason(), "no such file");
  EXPECT_FALSE(sftp_->setTimesOfItemAtPath(remote_ + "/file", 0, -1, &error));
  EXPECT_EQ(readFile(remote_ + "/file"), "12345");
  EXPECT_EQ(delegate_.events, (Events{"fail:frx_sftp_error_domain:4", "fail:frx_sftp_error_domain:4"}));
}

TEST_F(FRXSFTPTest, AttributesAreNamedByThePathAsGiven) {
  makeRemoteDirectory(remote_ + "/dir");
  makeRemoteFile(remote_ + "/dir/file.txt", std::string(40000, 'a'));
  chmod((remote_ + "/dir/file.txt").c_str(), 0600);
  FRXError error;
  const auto record = sftp_->attributesOfItemAtPath(remote_ + "/dir/file.txt", &error);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->name, remote_ + "/dir/file.txt");
  EXPECT_EQ(record->permissions, 0100600u);
  EXPECT_EQ(record->size, 40000);

  const auto directory = sftp_->attributesOfItemAtPath(remote_ + "/dir/", &error);
  ASSERT_TRUE(directory);
  EXPECT_EQ(directory->name, remote_ + "/dir/");
  EXPECT_EQ(directory->permissions & 0xF000, 0x4000u);
  EXPECT_EQ(delegate_.events, (Events{"complete", "complete"}));

  delegate_.clear();
  EXPECT_FALSE(sftp_->attributesOfItemAtPath(remote_ + "/nothing", &error));
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.localizedDescription, "Remote item couldn't be found.");
  EXPECT_EQ(delegate_.events, Events{"fail:frx_sftp_error_domain:2"});
}

TEST_F(FRXSFTPTest, RemovingAFile) {
  makeRemoteFile(remote_ + "/doomed");
  FRXError error;
  EXPECT_TRUE(sftp_->removeItemAtPath(remote_ + "/doomed", &error));
  EXPECT_FALSE(exists(remote_ + "/doomed"));
  EXPECT_FALSE(sftp_->removeItemAtPath(remote_ + "/doomed", &error));
  EXPECT_EQ(error.code, 5);
  EXPECT_TRUE(std::regex_match(error.localizedDescription, std::regex("There was an error removing the file: -[0-9]+")))
      << error.localizedDescription;
  EXPECT_EQ(delegate_.events, (Events{"complete", "fail:frx_sftp_error_domain:5"}));
}

TEST_F(FRXSFTPTest, RenamingKeepsAnExistingTargetUnlessAskedAndNeverReplacesADirectory) {
  makeRemoteDirectory(remote_ + "/dir");
  struct Case {
    const char* target;  // below remote_; "file" is there already with "old"
    bool replace;
    bool renamed;
    long code;  // when refused
  };
  for (const Case& c : {Case{"new", false, true, 0}, Case{"file", false, false, 3}, Case{"file", true, true, 0},
                        Case{"dir", true, false, 3}, Case{"dir/inside", false, true, 0}}) {
    SCOPED_TRACE(std::string(c.target) + (c.replace ? " replacing" : ""));
    makeRemoteFile(remote_ + "/file", "old");
    makeRemoteFile(remote_ + "/source", "moved");
    delegate_.clear();
    FRXError error;
    const std::string target = remote_ + "/" + c.target;
    EXPECT_EQ(sftp_->renameItemAtPath(remote_ + "/source", target, c.replace, &error), c.renamed) << error.description();
    if (c.renamed) {
      EXPECT_EQ(readFile(target), "moved");
      EXPECT_FALSE(exists(remote_ + "/source"));
      EXPECT_EQ(delegate_.events, Events{"complete"});
    } else {
      EXPECT_EQ(error.code, c.code);
      EXPECT_EQ(readFile(remote_ + "/source"), "moved");
      EXPECT_EQ(delegate_.events, Events{"fail:frx_sftp_error_domain:" + std::to_string(c.code)});
    }
    if (std::string(c.target) == "file") {
      EXPECT_EQ(readFile(remote_ + "/file"), c.renamed ? "moved" : "old");
    }
    EXPECT_TRUE(std::filesystem::is_directory(remote_ + "/dir"));
  }
  FRXError missing;
  EXPECT_FALSE(sftp_->renameItemAtPath(remote_ + "/absent", remote_ + "/other", &missing));
  EXPECT_EQ(missing.reason(), "no such file");
}

TEST_F(FRXSFTPTest, RemovingADirectorySendsACallbackForEveryNestedOperation) {
  const std::string top = remote_ + "/top";
  makeRemoteDirectory(top);
  makeRemoteFile(top + "/one");
  makeRemoteFile(top + "/two");
  makeRemoteDirectory(top + "/empty");
  FRXError error;
  EXPECT_TRUE(sftp_->removeDirectoryAtPath(top, &error)) << error.description();
  EXPECT_FALSE(exists(top));
  // Two listings, two file removals, the subdirectory's emptying and removal, and the top's.
  EXPECT_EQ(delegate_.events, Events(8, "complete"));
}

TEST_F(FRXSFTPTest, AHiddenFileStopsTheDirectoryRemoval) {
  const std::string top = remote_ + "/top";
  makeRemoteDirectory(top);
  makeRemoteFile(top + "/.hidden");
  makeRemoteFile(top + "/visible");
  FRXError error;
  EXPECT_FALSE(sftp_->removeDirectoryAtPath(top, &error));
  EXPECT_EQ(error.domain, "frx_sftp_error_domain");
  EXPECT_EQ(error.code, 5);
  EXPECT_TRUE(std::regex_match(error.localizedDescription,
                               std::regex("There was an error removing the directory: -[0-9]+")));
  EXPECT_TRUE(exists(top + "/.hidden"));
  EXPECT_FALSE(exists(top + "/visible"));
  EXPECT_EQ(delegate_.events, (Events{"complete", "complete", "complete", "fail:none"}));
}

TEST_F(FRXSFTPTest, ALinkEndsTheWalkButNotSuccessfully) {
  const std::string top = remote_ + "/top";
  makeRemoteDirectory(top);
  makeRemoteFile(remote_ + "/target", "keep me");
  ASSERT_EQ(symlink((remote_ + "/target").c_str(), (top + "/link").c_str()), 0);
  server().giveToUser(top + "/link");

  FRXError error;
  EXPECT_TRUE(sftp_->removeAllContentsOfDirectoryAtPath(top, &error));
  EXPECT_TRUE(exists(top + "/link"));
  EXPECT_FALSE(sftp_->removeDirectoryAtPath(top, &error));
  EXPECT_EQ(error.code, 5);
  EXPECT_EQ(readFile(remote_ + "/target"), "keep me");
}

TEST_F(FRXSFTPTest, CreatingOneDirectory) {
  FRXError error;
  EXPECT_TRUE(sftp_->createDirectoryAtPath(remote_ + "/new", false, &error)) << error.description();
  EXPECT_EQ(modeOf(remote_ + "/new"), 0755u);
  // The parent's listing and the outcome.
  EXPECT_EQ(delegate_.events, (Events{"complete", "complete"}));

  delegate_.clear();
  makeRemoteFile(remote_ + "/taken");
  EXPECT_FALSE(sftp_->createDirectoryAtPath(remote_ + "/taken", &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(error.localizedDescription, "An item exists at the specified path.");
  EXPECT_EQ(delegate_.events, Events{"complete"});  // the single creation has no callback of its own

  delegate_.clear();
  EXPECT_FALSE(sftp_->createDirectoryAtPath(remote_ + "/missing/child", false, &(error = {})));
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(delegate_.events, (Events{"fail:frx_sftp_error_domain:2", "fail:none"}));
}

TEST_F(FRXSFTPTest, IntermediateDirectoriesWalkEveryPrefix) {
  makeRemoteDirectory(remote_ + "/a");
  makeRemoteDirectory(remote_ + "/a/b");
  FRXError error;
  EXPECT_TRUE(sftp_->createDirectoryAtPath(remote_ + "/a/b/c/d", true, &error)) << error.description();
  EXPECT_TRUE(exists(remote_ + "/a/b/c/d"));
  EXPECT_TRUE(error.domain.empty());
  EXPECT_EQ(delegate_.outcomes().back(), "complete");

  // A created prefix that can't be made (the parent belongs to root) stops the walk with its error.
  const std::string locked = remote_ + "/locked";
  mkdir(locked.c_str(), 0755);
  if (geteuid() == 0) {
    delegate_.clear();
    EXPECT_FALSE(sftp_->createDirectoryAtPath(locked + "/x/y", true, &error));
    EXPECT_EQ(error.code, 4);
    EXPECT_TRUE(std::regex_match(error.localizedDescription, std::regex("libssh2_sftp_mkdir failed: -[0-9]+\n")));
    EXPECT_EQ(delegate_.events.back(), "fail:frx_sftp_error_domain:4");
    EXPECT_FALSE(exists(locked + "/x/y"));
  }

  // The root alone exists already.
  EXPECT_TRUE(sftp_->createDirectoryAtPath("/", true, &error));
}

TEST_F(FRXSFTPTest, ARelativePathsFirstComponentIsNeverCreated) {
  // The login user's directory is "/" here, and nothing named like this exists there.
  const std::string first = "ferrix-absent-" + std::to_string(getpid());
  FRXError error;
  EXPECT_FALSE(sftp_->createDirectoryAtPath(first + "/y", true, &error));
  EXPECT_EQ(error.code, FRXSFTPErrorTransfer);
  EXPECT_FALSE(exists("/" + first));
  EXPECT_EQ(delegate_.events.back(), "fail:none");

  // "./" makes it a second component, which is created.
  if (geteuid() != 0) GTEST_SKIP() << "the login user's directory is not / here";
  const std::string relative = "./" + remote_.substr(1) + "/rel/sub";
  EXPECT_TRUE(sftp_->createDirectoryAtPath(relative, true, &error));
  EXPECT_TRUE(exists(remote_ + "/rel/sub"));
}

}  // namespace
