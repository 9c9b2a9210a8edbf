// ZEBSystemProfiler against scripted stand-ins for the tool in a fake system root. Every test here
// writes /tmp/blah.xml, so ctest runs them under one resource lock.
#include "Utility/ZEBSystemProfiler.h"

#include <sys/stat.h>

#include "UtilityTestSupport.h"
#include "tests/support/ResultErrors.h"

namespace zeb {
namespace {

namespace fs = std::filesystem;
const std::string kDebugCopy(ZEBSystemProfiler::kDebugCopyPath);

class SystemProfilerTest : public ::testing::Test {
 protected:
  // The tool records its arguments, one a line, prints `stdoutBytes` and ends with `status`.
  void installTool(const std::string& stdoutBytes, int status = 0) {
    test::writeFile(root_.dir() + "/report.out", stdoutBytes);
    root_.writeTool("/usr/sbin/system_profiler", "printf '%s\\n' \"$@\" > '" + root_.dir() + "/args'\ncat '" +
                                                     root_.dir() + "/report.out'\nexit " + std::to_string(status) + "\n");
  }
  std::string recordedArguments() const { return test::readFile(root_.dir() + "/args"); }

  test::FakeRoot root_;
};

TEST_F(SystemProfilerTest, ArgumentsAreXmlThenTheDataTypesInOrder) {
  installTool(test::reportXML(""));
  auto report = ZEBSystemProfiler::systemProfileWithDataTypes(std::nullopt);
  ASSERT_TRUE(report);
  EXPECT_TRUE(report->empty());
  EXPECT_EQ(recordedArguments(), "-xml\n");

  ASSERT_TRUE(ZEBSystemProfiler::systemProfileWithDataTypes(
      std::vector<std::string>{"SPHardwareDataType", "SPSoftwareDataType"}));
  EXPECT_EQ(recordedArguments(), "-xml\nSPHardwareDataType\nSPSoftwareDataType\n");
}

TEST_F(SystemProfilerTest, NonZeroExitGivesTheCodeMinus5ErrorWithoutTheStatus) {
  installTool("partial output", 3);
  const auto error = test::errorOf(ZEBSystemProfiler::systemProfileWithDataTypes(std::nullopt));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "com.orvel.tessel.VellumDrift");
  EXPECT_EQ(error->code(), -5);
  EXPECT_EQ(error->userInfo().size(), 1u);
  EXPECT_EQ(error->localizedDescription(), "system_profiler returned a non-zero exit status");
  // Even a failed run leaves its exact output behind.
  EXPECT_EQ(test::readFile(kDebugCopy), "partial output");
}

TEST_F(SystemProfilerTest, ToolThatCannotStartAnswersWithAnError) {
  auto error = test::errorOf(ZEBSystemProfiler::systemProfileWithDataTypes(std::nullopt));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");

  test::writeFile(root_.path("/usr/sbin/system_profiler"), "#!/bin/sh\n", 0644);  // not executable
  EXPECT_TRUE(test::errorOf(ZEBSystemProfiler::systemProfileItemsWithDataType("SPHardwareDataType")));
}

TEST_F(SystemProfilerTest, UnparsableOutputAndWrongShapesBecomeErrorsNotCrashes) {
  installTool("this is not a property list");
  auto error = test::errorOf(ZEBSystemProfiler::systemProfileWithDataTypes(std::nullopt));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3840);  // the parser's own error

  installTool("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>");
  error = test::errorOf(ZEBSystemProfiler::systemProfileWithDataTypes(std::nullopt));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "SPX plist should be array");

  installTool(test::reportXML("<string>stray</string>" + test::sectionXML("SPHardwareDataType", "<array/>")));
  error = test::errorOf(ZEBSystemProfiler::systemProfileItemsWithDataType("SPHardwareDataType"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "SPX sub-data should be dictionary");
}

TEST_F(SystemProfilerTest, ItemsComeFromTheFirstMatchingSection) {
  installTool(test::reportXML(test::sectionXML("SPSoftwareDataType", "<array><string>software</string></array>") +
                              test::sectionXML("SPHardwareDataType", "<array><string>first</string></array>") +
                              test::sectionXML("SPHardwareDataType", "<array><string>second</string></array>")));
  auto items = ZEBSystemProfiler::systemProfileItemsWithDataType("SPHardwareDataType");
  ASSERT_TRUE(items.ok() && *items);
  EXPECT_EQ(**items, Value(Array{Value("first")}));
  EXPECT_EQ(recordedArguments(), "-xml\nSPHardwareDataType\n");
}

TEST_F(SystemProfilerTest, MissingSectionAnswersNothingAndNoError) {
  installTool(test::reportXML(test::sectionXML("sphardwaredatatype", "<array/>")));  // case matters
  auto items = ZEBSystemProfiler::systemProfileItemsWithDataType("SPHardwareDataType");
  ASSERT_TRUE(items.ok());
  EXPECT_EQ(*items, std::nullopt);
}

TEST_F(SystemProfilerTest, DebugCopyIsByteExactAndNeverWrittenThroughALink) {
  // A link planted where the copy goes, pointing at a file that must stay untouched.
  test::TempDir victimDir;
  const std::string victim = victimDir / "victim";
  test::writeFile(victim, "original");
  std::error_code ec;
  fs::remove(kDebugCopy, ec);
  fs::create_symlink(victim, kDebugCopy);

  std::string bytes = test::reportXML(test::sectionXML("SPHardwareDataType", "<array/>"));
  bytes += std::string("\0\xff trailing bytes\r\n", 19);
  installTool(bytes);
  (void)ZEBSystemProfiler::systemProfileWithDataTypes(std::nullopt);

  EXPECT_EQ(test::readFile(victim), "original");
  struct stat st {};
  ASSERT_EQ(::lstat(kDebugCopy.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(test::readFile(kDebugCopy), bytes);
  // No temporary files left behind.
  for (const auto& entry : fs::directory_iterator(fs::path(kDebugCopy).parent_path()))
    EXPECT_EQ(entry.path().string().rfind(kDebugCopy + ".", 0), std::string::npos) << entry.path();
}

}  // namespace
}  // namespace zeb
