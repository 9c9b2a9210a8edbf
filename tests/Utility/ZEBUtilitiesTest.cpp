// ZEBUtilities: working directories, zip archives, the OS version and build, comparisons and the
// small helpers.
#include "Utility/ZEBUtilities.h"

#include <grp.h>
#include <plist/plist.h>
#include <pwd.h>
#include <sys/wait.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <nlohmann/json.hpp>
#include <regex>

#include "UtilityTestSupport.h"
#include "platform/foundation/Description.h"
#include "platform/foundation/EmbeddedPlist.h"

namespace zeb {
namespace {

using test::FakeRoot;
using test::TempDir;
namespace fs = std::filesystem;

std::string homeFromPasswordDatabase() {
  struct passwd* pw = ::getpwuid(::geteuid());
  return pw ? pw->pw_dir : "";
}

// ---------------------------------------------------------------------------------------------
// Working directories

class DatedDirectoryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    std::error_code ec;
    for (const auto& p : created_) fs::remove_all(p, ec);
    ::unsetenv("TZ");
    ::tzset();
  }
  std::optional<std::string> make(const std::string& name) {
    auto path = ZEBUtilities::tempUserDirectoryDatedWithName(name);
    if (path) created_.push_back(*path);
    return path;
  }
  // Unique per run, so engineers testing side by side don't meet.
  std::string name_ = "zebtest" + std::to_string(::getpid());
  std::vector<std::string> created_;
};

TEST_F(DatedDirectoryTest, BaseIsTheCachesDirectoryOfThePasswordDatabaseHomeNotOfHOME) {
  TempDir fakeHome;
  const std::string savedHome = ::getenv("HOME") ? ::getenv("HOME") : "";
  ::setenv("HOME", fakeHome.path().c_str(), 1);
  auto base = ZEBUtilities::tempUserDirectory();
  ::setenv("HOME", savedHome.c_str(), 1);
  ASSERT_TRUE(base);
  EXPECT_EQ(*base, homeFromPasswordDatabase() + "/.cache/" + mainBundleIdentifier());
  EXPECT_TRUE(fs::is_directory(*base));
  EXPECT_TRUE(fs::is_empty(fakeHome.path()));
}

TEST_F(DatedDirectoryTest, NameIsStampedWithLocalTime) {
  // A zone 5:45 east of UTC, so a stamp in UTC or in the machine's zone would not match.
  ::setenv("TZ", "XST-5:45", 1);
  ::tzset();
  const std::time_t before = std::time(nullptr);
  auto path = make(name_);
  const std::time_t after = std::time(nullptr);
  ASSERT_TRUE(path);
  EXPECT_EQ(fs::path(*path).parent_path().string(), *ZEBUtilities::tempUserDirectory());
  const auto expected = [&](std::time_t t) {
    t += 5 * 3600 + 45 * 60;
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d-%H%M%S", &tm);
    return name_ + "-" + buf;
  };
  const std::string dirName = fs::path(*path).filename().string();
  EXPECT_TRUE(dirName == expected(before) || dirName == expected(after)) << dirName;
  EXPECT_TRUE(std::regex_match(dirName, std::regex(name_ + "-[0-9]{4}-[0-9]{2}-[0-9]{2}-[0-9]{6}")));
  EXPECT_TRUE(fs::is_directory(*path) && fs::is_empty(*path));
}

TEST_F(DatedDirectoryTest, SecondCallInTheSameSecondEmptiesTheDirectoryWithoutFollowingLinks) {
  TempDir outside;
  test::writeFile(outside / "keep.txt", "not ours");
  for (int attempt = 0; attempt < 5; ++attempt) {
    auto first = make(name_);
    ASSERT_TRUE(first);
    test::writeFile(*first + "/a.log", "old");
    test::writeFile(*first + "/nested/deeper/b.log", "old");
    fs::create_directory_symlink(outside.path(), *first + "/nested/link");
    auto second = make(name_);
    ASSERT_TRUE(second);
    if (*second != *first) continue;  // crossed a second boundary; try again
    EXPECT_TRUE(fs::is_directory(*second));
    EXPECT_TRUE(fs::is_empty(*second));
    EXPECT_EQ(test::readFile(outside / "keep.txt"), "not ours");
    return;
  }
  FAIL() << "never managed two calls within one second";
}

// The caches directory of a user whose home can't be created: the base path is still returned, the
// dated directory is not. Runs as "nobody" in a child process.
TEST_F(DatedDirectoryTest, UncreatableBaseIsLoggedAndDatedDirectoryFails) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  struct passwd* nobody = ::getpwnam("nobody");
  if (!nobody || fs::exists(nobody->pw_dir)) GTEST_SKIP() << "nobody has a real home here";
  const std::string expectedBase = std::string(nobody->pw_dir) + "/.cache/" + mainBundleIdentifier();
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;

  int pipefd[2];
  ASSERT_EQ(::pipe2(pipefd, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(pipefd[1], STDERR_FILENO);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(10);
    auto base = ZEBUtilities::tempUserDirectory();
    if (!base || *base != expectedBase) ::_exit(11);
    if (ZEBUtilities::tempUserDirectoryDatedWithName("x")) ::_exit(12);
    ::_exit(0);
  }
  ::close(pipefd[1]);
  std::string log;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipefd[0], buf, sizeof buf)) > 0;) log.append(buf, static_cast<std::size_t>(n));
  ::close(pipefd[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << log;
  EXPECT_NE(log.find("An error occured creating local directory: "), std::string::npos) << log;
  EXPECT_NE(log.find("Erroc creating temp directory " + expectedBase + "/x-"), std::string::npos) << log;
}

// ---------------------------------------------------------------------------------------------
// Zip archives, with the real /usr/bin/zip and unzip

std::vector<std::string> archiveListing(const std::string& archive) {
  auto r = test::runCommand("/usr/bin/unzip", {"-Z1", archive});
  EXPECT_EQ(r.status, 0) << r.errors;
  std::vector<std::string> names;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) names.push_back(line);
  std::sort(names.begin(), names.end());
  return names;
}

class CompressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeFile(work_ / "logs/system.log", "line\n");
    test::writeFile(work_ / "logs/sub/install.log", "more\n");
  }
  TempDir work_;
};

TEST_F(CompressTest, ArchiveHoldsTheFolderUnderItsOwnName) {
  ASSERT_TRUE(ZEBUtilities::compressDirectoryAtPath(work_ / "logs", work_ / "out.zip"));
  EXPECT_EQ(archiveListing(work_ / "out.zip"),
            (std::vector<std::string>{"logs/", "logs/sub/", "logs/sub/install.log", "logs/system.log"}));
}

TEST_F(CompressTest, ExistingArchiveIsReplacedNotAddedTo) {
  test::writeFile(work_ / "logs/stale.log", "gone soon");
  ASSERT_TRUE(ZEBUtilities::compressDirectoryAtPath(work_ / "logs", work_ / "out.zip"));
  fs::remove(work_ / "logs/stale.log");
  ASSERT_TRUE(ZEBUtilities::compressDirectoryAtPath(work_ / "logs/", work_ / "out.zip"));
  const auto names = archiveListing(work_ / "out.zip");
  EXPECT_EQ(std::count(names.begin(), names.end(), "logs/stale.log"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "logs/system.log"), 1);
}

TEST_F(CompressTest, RelativeArchivePathIsTakenAgainstTheFoldersParentAndReplaced) {
  // An earlier archive at the relative name, holding an entry the new one must not carry over.
  TempDir other;
  test::writeFile(other / "old/leftover.txt", "x");
  ASSERT_TRUE(ZEBUtilities::compressDirectoryAtPath(other / "old", work_ / "relative.zip"));
  ASSERT_NE(work_.path(), fs::current_path().string());

  ASSERT_TRUE(ZEBUtilities::compressDirectoryAtPath(work_ / "logs", "relative.zip"));
  EXPECT_FALSE(fs::exists(fs::current_path() / "relative.zip"));
  const auto names = archiveListing(work_ / "relative.zip");
  EXPECT_EQ(std::count(names.begin(), names.end(), "old/leftover.txt"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "logs/system.log"), 1);
}

TEST_F(CompressTest, LinksArePackedAsLinksNotAsWhatTheyPointAt) {
  TempDir secret;
  test::writeFile(secret / "shadow", "SECRET CONTENT");
  fs::create_symlink(secret / "shadow", work_ / "logs/planted");
  ASSERT_TRUE(ZEBUtilities::compressDirectoryAtPath(work_ / "logs", work_ / "out.zip"));
  auto r = test::runCommand("/usr/bin/unzip", {"-p", work_ / "out.zip", "logs/planted"});
  EXPECT_EQ(r.output.find("SECRET"), std::string::npos);
  EXPECT_EQ(r.output, secret / "shadow");
}

TEST_F(CompressTest, FailureIsLoggedAndAnswered) {
  testing::internal::CaptureStdout();
  EXPECT_FALSE(ZEBUtilities::compressDirectoryAtPath(work_ / "missing", work_ / "out.zip"));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" ZEB: +[ZEBUtilities compressDirectoryAtPath:destinationPath:] - Error creating archive " +
                     (work_ / "out.zip") + "\n"),
            std::string::npos)
      << out;
}

// ---------------------------------------------------------------------------------------------
// OS version and build

class SystemVersionTest : public ::testing::Test {
 protected:
  std::int32_t versionLogging(std::string& log) {
    testing::internal::CaptureStderr();
    const std::int32_t v = ZEBUtilities::currentSystemVersion();
    log = testing::internal::GetCapturedStderr();
    return v;
  }
  FakeRoot root_;
};

TEST_F(SystemVersionTest, VersionCodes) {
  struct Case {
    const char* version;
    std::int32_t code;
    const char* message;
  };
  const Case cases[] = {
      {"10.9.5", 9, nullptr},
      {"10.0", 0, nullptr},
      {" 10.8abc", 8, nullptr},
      {"10.10", -2, "Unhandled minor OS version: 10"},
      {"10.-1", -2, "Unhandled minor OS version: -1"},
      {"11.0", -2, "Unknown major version number: 11"},
      {"x.5", -2, "Unknown major version number: 0"},
      {"10", -2, "Too few version parts: 10"},
      {"", -2, "Too few version parts: "},
  };
  for (const Case& c : cases) {
    root_.writeSystemVersion(c.version);
    std::string log;
    EXPECT_EQ(versionLogging(log), c.code) << c.version;
    if (c.message) {
      EXPECT_NE(log.find(c.message), std::string::npos) << c.version << ": " << log;
    } else {
      EXPECT_EQ(log, "") << c.version;
    }
  }
}

TEST_F(SystemVersionTest, MissingFileGivesUnknownVersionAndNoBuild) {
  std::string log;
  EXPECT_EQ(versionLogging(log), kUnknownSystemVersion);
  EXPECT_NE(log.find("Too few version parts: (null)"), std::string::npos) << log;
  EXPECT_EQ(ZEBUtilities::currentSystemBuild(), std::nullopt);
}

TEST_F(SystemVersionTest, BinaryPropertyListIsReadAndEveryCallRereadsTheFile) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "ProductVersion", plist_new_string("10.7.5"));
  plist_dict_set_item(dict, "ProductBuildVersion", plist_new_string("11G63"));
  char* bin = nullptr;
  uint32_t len = 0;
  plist_to_bin(dict, &bin, &len);
  plist_free(dict);
  ASSERT_NE(bin, nullptr);
  test::writeFile(root_.path("/System/Library/CoreServices/SystemVersion.plist"), std::string(bin, len));
  plist_to_bin_free(bin);
  EXPECT_EQ(ZEBUtilities::currentSystemVersion(), 7);
  EXPECT_EQ(ZEBUtilities::currentSystemBuild(), "11G63");

  root_.writeSystemVersion("10.9.5", "13F34");
  EXPECT_EQ(ZEBUtilities::currentSystemVersion(), 9);
  EXPECT_EQ(ZEBUtilities::currentSystemBuild(), "13F34");
}

// ---------------------------------------------------------------------------------------------
// Comparisons

int order(ComparisonResult r) { return static_cast<int>(r); }

TEST(CompareBuildStringTest, DigitRunsByValueOtherCharactersByCode) {
  const std::string nines(40, '9');
  const struct {
    std::string a, b;
    int expected;
  } cases[] = {
      {"13A483", "13A483", 0},
      {"13A483", "13A1001", -1},
      {"13A483", "13B1", -1},
      {"14A1", "13A483", 1},
      {"13A01", "13A1", 0},             // by value, so leading zeros don't count
      {"13a1", "13A1", 1},              // case-sensitive: 'a' > 'A'
      {"13A", "13A4", -1},              // a prefix is smaller
      {"13A9", "13A", 1},
      {"1A" + nines, "1A1" + std::string(40, '0'), -1},  // longer than 64 bits
      {"1A" + nines + "B", "1A" + nines + "C", -1},
      {"9", "A", -1},                   // digit against letter: by character code
  };
  for (const auto& c : cases) {
    EXPECT_EQ(order(ZEBUtilities::compareBuildString(c.a, c.b)), c.expected) << c.a << " vs " << c.b;
    EXPECT_EQ(order(ZEBUtilities::compareBuildString(c.b, c.a)), -c.expected) << c.b << " vs " << c.a;
  }
}

TEST(CompareVersionStringTest, PartsCompareAsText) {
  const struct {
    const char *a, *b;
    int expected;
  } cases[] = {
      {"10.9", "10.9", 0}, {"10.9", "10.9.1", -1}, {"10.9.1", "10.9", 1},
      {"10.10", "10.9", -1}, {"", "", 0}, {"10.", "10", 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(order(ZEBUtilities::compareVersionString(c.a, c.b)), c.expected) << c.a << " vs " << c.b;
}

// ---------------------------------------------------------------------------------------------
// Small helpers

TEST(JsonSerializeObjectTest, ContainersArePrettyPrintedAndRoundTrip) {
  Dictionary inner{{"pid", Value(std::int64_t{42})}, {"ok", Value(true)}, {"none", Value()}};
  Dictionary object{{"filePath", Value("/tmp/a \"b\".zip")},
                    {"list", Value(Array{Value(1.5), Value(std::uint64_t{18446744073709551615ULL}), Value(inner)})}};
  auto text = ZEBUtilities::jsonSerializeObject(Value(object));
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("\n  \"filePath\""), std::string::npos) << *text;
  const auto parsed = nlohmann::json::parse(*text);
  EXPECT_EQ(parsed["filePath"], "/tmp/a \"b\".zip");
  EXPECT_EQ(parsed["list"][1].get<std::uint64_t>(), 18446744073709551615ULL);
  EXPECT_EQ(parsed["list"][2]["pid"], 42);
  EXPECT_TRUE(parsed["list"][2]["none"].is_null());
  // Text that is not UTF-8 gets replacement characters instead of an exception.
  EXPECT_NE(ZEBUtilities::jsonSerializeObject(Value(Array{Value("ok\xff")}))->find("ok\xEF\xBF\xBD"), std::string::npos);
}

TEST(JsonSerializeObjectTest, InvalidObjectsAreLoggedAndRefused) {
  const Value invalid[] = {
      Value("bare string"),
      Value(Array{Value(std::nan(""))}),
      Value(Array{Value(std::numeric_limits<double>::infinity())}),
      Value(Dictionary{{"data", Value(Data{1, 2})}}),
      Value(Array{Value(URL::fileURLWithPath("/tmp"))}),
  };
  for (const Value& v : invalid) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZEBUtilities::jsonSerializeObject(v), std::nullopt);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Can't serialize object: " + describe(v)), std::string::npos);
  }
}

TEST(DescriptionForArchitectureTest, MachOTypes) {
  EXPECT_EQ(ZEBUtilities::descriptionForArchitecture(16777223), "Intel (64 bit)");
  EXPECT_EQ(ZEBUtilities::descriptionForArchitecture(16777234), "PowerPC (64 bit)");
  EXPECT_EQ(ZEBUtilities::descriptionForArchitecture(12), "Unknown");
}

TEST(UniquifyTest, FirstFreeNumberedName) {
  TempDir dir;
  EXPECT_EQ(ZEBUtilities::uniquify(dir / "report.txt"), dir / "report.txt");
  test::writeFile(dir / "report.txt", "");
  EXPECT_EQ(ZEBUtilities::uniquify(dir / "report.txt"), dir / "report 2.txt");
  test::writeFile(dir / "report 2.txt", "");
  EXPECT_EQ(ZEBUtilities::uniquify(dir / "report.txt"), dir / "report 3.txt");
  // Only the last extension is split off.
  test::writeFile(dir / "a.tar.gz", "");
  EXPECT_EQ(ZEBUtilities::uniquify(dir / "a.tar.gz"), dir / "a.tar 2.gz");
  fs::create_directory(dir / "notes");
  EXPECT_EQ(ZEBUtilities::uniquify(dir / "notes"), dir / "notes 2");
}

TEST(UniquifyTest, DanglingLinkCountsAsTaken) {
  TempDir dir;
  fs::create_symlink(dir / "nowhere", dir / "out.log");
  EXPECT_EQ(ZEBUtilities::uniquify(dir / "out.log"), dir / "out 2.log");
}

TEST(BulletedListTest, BulletsJoinedByLineFeeds) {
  EXPECT_EQ(ZEBUtilities::bulletedListStringWithComponents({}), "");
  EXPECT_EQ(ZEBUtilities::bulletedListStringWithComponents({"one"}), "\u2022 one");
  EXPECT_EQ(ZEBUtilities::bulletedListStringWithComponents({"one", "two"}), "\u2022 one\n\u2022 two");
}

// Loopback only: literal addresses, and a name the hosts file answers.
TEST(CanAccessInternetTest, FallbackDecidesWhenPrimaryIsUnreachable) {
  const std::string unresolvable = "no-such-host";  // not a literal: fails without any lookup
  EXPECT_TRUE(ZEBUtilities::canAccessInternet("127.0.0.1", unresolvable, HostLookup::kNumericOnly));
  EXPECT_TRUE(ZEBUtilities::canAccessInternet(unresolvable, "127.0.0.1", HostLookup::kNumericOnly));
  EXPECT_FALSE(ZEBUtilities::canAccessInternet(unresolvable, unresolvable, HostLookup::kNumericOnly));
  EXPECT_FALSE(ZEBUtilities::canAccessInternet("", "", HostLookup::kResolve));
  EXPECT_TRUE(ZEBUtilities::canAccessInternet("localhost", "localhost", HostLookup::kResolve));
}

}  // namespace
}  // namespace zeb
