#include "helper/files/PathPolicy.h"

#include <gtest/gtest.h>

#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "FilesTestSupport.h"

namespace zeb::files {
namespace {

TEST(PathPolicyTest, AdmitsTheThreePrefixesAndTheCacheFolderOnly) {
  for (const char* path : {"/tmp/report", "/var/folders/xy/abc/T/out", "/private/var/root/Library",
                           "/Users/u/Library/Caches/com.orvel.tessel.VellumDrift/Attachments",
                           "/Users/u/Library/Caches/com.orvel.tessel.VellumDriftLite/Attachments",
                           "/Users/u/Library/Caches/com.orvel.tessel.Vellum Drift/Attachments",
                           "/users/u/library/caches/com.orvel.tessel.vellumdrift/attachments",
                           "/Users/u/Library/Caches/comXorvelXtesselXVellum_Drift/x"}) {
    EXPECT_TRUE(canModifyPath(path)) << path;
  }
  for (const char* path : {"/tmp", "/var/folders", "/var/log/x", "/var/root/x", "/private/tmp/x", "/TMP/x",
                           "/Users/u/Library/Caches/com.orvel.tessel.VellumDrift",
                           "/Users/u/Library/Caches/com.orvel.tessel.VellumDrift/Library/Caches/"
                           "com.orvel.tessel.VellumDrift/x",
                           "/Users/u/Library/Caches/com.orvel.tessel.VellumDriftPro/x", ""}) {
    EXPECT_FALSE(canModifyPath(path)) << path;
  }
}

TEST(PathPolicyTest, OnlyDotComponentsAreCollapsedBeforeTheTest) {
  EXPECT_FALSE(canModifyPath("/tmp/../etc/x"));
  EXPECT_FALSE(canModifyPath("/tmp/a/../../etc/cron.d"));
  EXPECT_FALSE(canModifyPath("/var/folders/../../etc/x"));
  EXPECT_FALSE(canModifyPath("/Users/u/Library/Caches/com.orvel.tessel.VellumDrift/../../../../etc/x"));
  EXPECT_FALSE(canModifyPath("/tmp//.."));
  EXPECT_FALSE(canModifyPath("/tmp/."));
  EXPECT_TRUE(canModifyPath("/tmp/./a/../report"));
  EXPECT_TRUE(canModifyPath("/x/../tmp/report"));
  // Repeated and trailing slashes are part of the text: only the prefix as written counts.
  EXPECT_TRUE(canModifyPath("/tmp/"));
  EXPECT_TRUE(canModifyPath("/tmp//report/"));
  EXPECT_FALSE(canModifyPath("//tmp/x"));
  EXPECT_FALSE(canModifyPath("/var//folders/x"));
  EXPECT_FALSE(canModifyPath("//tmp//report/"));
}

TEST(PathPolicyTest, RefusesWhatCannotNameOnePlace) {
  EXPECT_FALSE(canModifyPath("tmp/report"));
  EXPECT_FALSE(canModifyPath("xtmp/report"));
  EXPECT_FALSE(canModifyPath(std::string("/tmp/x\0y", 8)));
  EXPECT_FALSE(canModifyPath("Library/Caches/com.orvel.tessel.VellumDrift/x"));
  EXPECT_FALSE(canModifyPath(std::string("/tmp/x\0/../../etc", 17)));
  EXPECT_FALSE(canModifyPath("/tmp/" + std::string(kMaxPolicyPathLength, 'a')));
  EXPECT_TRUE(canModifyPath("/tmp/\xff\xfe name\nwith newline"));
}

TEST(PathPolicyTest, NormalisesByTextAlone) {
  EXPECT_EQ(lexicallyNormalPath("/"), "/");
  EXPECT_EQ(lexicallyNormalPath("/.."), "/");
  EXPECT_EQ(lexicallyNormalPath("/a/b/../../.."), "/");
  EXPECT_EQ(lexicallyNormalPath("/a/./b//c/"), "/a/b/c");
  EXPECT_EQ(lexicallyNormalPath("a/../../b"), "../b");
  EXPECT_EQ(lexicallyNormalPath("./"), ".");
  EXPECT_EQ(lexicallyNormalPath(""), "");
  EXPECT_EQ(lexicallyNormalPath("/a/.../b"), "/a/.../b");
  for (const char* path : {"/a/../b/./c//", "..//../x/..", "/../../..//", "a/./../../b/", "/.a/..b/../"}) {
    const std::string s(path);
    EXPECT_EQ(fuzzLexicallyNormalPath(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()), 0) << path;
  }
}

TEST(PathPolicyTest, AccessDeniedError) {
  const Error error = accessDeniedErrorForPath("/x");
  EXPECT_EQ(error.domain(), "com.orvel.tessel.zeb.privileged");
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.userInfo().size(), 1u);
  EXPECT_EQ(error.localizedDescription(), "Can't modify path: /x");
}

TEST(PathPolicyTest, AFailedCompilationRefusesEverythingLogsAndIsRetried) {
  PathPolicy policy("Library/(unclosed");
  LogCapture log;
  EXPECT_FALSE(policy.canModifyPath("/tmp/report"));
  EXPECT_FALSE(policy.canModifyPath("/tmp/report"));
  const std::string text = log.text();
  const std::string line = "Error creating regex for canModifyURL: ";
  ASSERT_NE(text.find(line), std::string::npos) << text;
  EXPECT_NE(text.find(line, text.find(line) + 1), std::string::npos) << "the second call compiles again";
}

TEST(PathPolicyTest, ConcurrentFirstUseAnswersAlike) {
  PathPolicy policy;
  std::vector<std::thread> threads;
  std::atomic<int> admitted{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 50; ++j) admitted += policy.canModifyPath("/a/Library/Caches/com.orvel.tessel.VellumDrift/x");
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(admitted.load(), 400);
}

}  // namespace
}  // namespace zeb::files
