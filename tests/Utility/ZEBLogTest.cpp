// The leveled logger: thresholds from the "LogDebug" default read on every call, the line format,
// and the caller's name.
#include "Utility/ZEBLog.h"

#include <stdlib.h>
#include <unicode/uloc.h>

#include <regex>

#include "UtilityTestSupport.h"
#include "platform/foundation/EmbeddedPlist.h"

namespace zeb {
namespace {

constexpr const char* kCaller = "+[ZEBUtilities compressDirectoryAtPath:destinationPath:]";

class ZEBLogTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("ZEB_PREFERENCES_DIR", prefs_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("ZEB_PREFERENCES_DIR"); }

  void setLogDebug(long long level) {
    test::writeFile(prefs_ / (mainBundleIdentifier() + ".plist"),
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>LogDebug</key>"
                    "<integer>" + std::to_string(level) + "</integer></dict></plist>\n");
  }

  // Which of the four levels write, as "DIWE" with '-' for a silent one.
  static std::string writtenLevels() {
    testing::internal::CaptureStdout();
    ZEBLog::logDebug(kCaller, "D");
    ZEBLog::logInfo(kCaller, "I");
    ZEBLog::logWarn(kCaller, "W");
    ZEBLog::logError(kCaller, "E");
    const std::string out = testing::internal::GetCapturedStdout();
    std::string levels;
    for (const char* l : {"D", "I", "W", "E"})
      levels += out.find(std::string(" - ") + l + "\n") != std::string::npos ? l : "-";
    return levels;
  }

  test::TempDir prefs_;
};

TEST_F(ZEBLogTest, ThresholdFromLogDebugIsReadOnEveryCall) {
  EXPECT_EQ(ZEBLog::logLevel(), 0);
  EXPECT_EQ(writtenLevels(), "DIWE");  // unset: everything
  setLogDebug(1);
  EXPECT_EQ(ZEBLog::logLevel(), 1);
  EXPECT_EQ(writtenLevels(), "-IWE");
  setLogDebug(3);
  EXPECT_EQ(writtenLevels(), "---E");
  setLogDebug(4);
  EXPECT_EQ(writtenLevels(), "----");
  setLogDebug(-7);  // the comparison is signed
  EXPECT_EQ(writtenLevels(), "DIWE");
}

TEST_F(ZEBLogTest, SuppressedMessageDoesNotEvaluateItsArguments) {
  setLogDebug(4);
  int evaluated = 0;
  testing::internal::CaptureStdout();
  ZEB_LOG_ERROR(kCaller, "%d", ++evaluated);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(evaluated, 0);
  setLogDebug(0);
  testing::internal::CaptureStdout();
  ZEB_LOG_DEBUG(kCaller, "count %d", ++evaluated);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(" - count 1\n"), std::string::npos);
}

TEST_F(ZEBLogTest, LineCarriesShortDateTimeAndCallerInBracketsForm) {
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("en_US", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  testing::internal::CaptureStdout();
  ZEB_LOG_ERROR(kCaller, "Error creating archive %s", "/x/y.zip");
  const std::string line = testing::internal::GetCapturedStdout();
  // "M/d/yy, h:mm a" of en_US; ICU puts a narrow no-break space before the day period.
  const std::regex format(
      "[0-9]{1,2}/[0-9]{1,2}/[0-9]{2}, [0-9]{1,2}:[0-9]{2}(\xE2\x80\xAF| )(AM|PM) ZEB: "
      "\\+\\[ZEBUtilities compressDirectoryAtPath:destinationPath:\\] - Error creating archive /x/y.zip\n");
  EXPECT_TRUE(std::regex_match(line, format)) << line;
}

TEST_F(ZEBLogTest, CallerNameIsTheBracketedMemberOrUnknown) {
  EXPECT_EQ(ZEBLog::callerName("+[ZEBUtilities hardwareDictionary]"), "+[ZEBUtilities hardwareDictionary]");
  // An instance method wins over a class method, and only up to the first "]".
  EXPECT_EQ(ZEBLog::callerName("3 zebd 0x1 +[A b] -[ZEBPrivilegedDaemon stopDaemon] + 12"),
            "-[ZEBPrivilegedDaemon stopDaemon]");
  EXPECT_EQ(ZEBLog::callerName("plainFunction"), "Unknown");
  EXPECT_EQ(ZEBLog::callerName("-[Unterminated"), "Unknown");
  EXPECT_EQ(ZEBLog::callerName(nullptr), "Unknown");

  testing::internal::CaptureStdout();
  ZEB_LOG_WARN(__func__, "from a plain function");
  setLogDebug(100);  // log: writes whatever the threshold
  ZEBLog::log("finished message");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" ZEB: Unknown - from a plain function\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" ZEB: Unknown - finished message\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace zeb
