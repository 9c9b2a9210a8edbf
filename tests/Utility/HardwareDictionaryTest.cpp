// The hardware summary: the last hardware item of the system profiler, its display name from the
// model table and its description. Writes /tmp/blah.xml (through the profiler): run under the lock.
#include <iostream>

#include "Utility/ZEBUtilities.h"
#include "UtilityTestSupport.h"
#include "platform/foundation/Description.h"

namespace zeb {
namespace {

std::string hardwareItem(const std::string& entries) { return "<dict>" + entries + "</dict>"; }
std::string entry(const std::string& key, const std::string& value) {
  return "<key>" + key + "</key><string>" + value + "</string>";
}

class HardwareDictionaryTest : public ::testing::Test {
 protected:
  void installReport(const std::string& items) {
    test::writeFile(root_.dir() + "/report.out",
                    test::reportXML(test::sectionXML("SPHardwareDataType", "<array>" + items + "</array>")));
    root_.writeTool("/usr/sbin/system_profiler", "cat '" + root_.dir() + "/report.out'\n");
  }
  test::FakeRoot root_;
};

TEST_F(HardwareDictionaryTest, LastItemGetsNameAndDescription) {
  root_.writeSystemVersion("10.9.5");
  installReport(hardwareItem(entry("machine_model", "iMac14,2")) +
                hardwareItem(entry("machine_model", "MacBookPro11,1") + entry("machine_name", "MacBook Pro") +
                             entry("current_processor_speed", "2.6 GHz") + entry("cpu_type", "Intel Core i5") +
                             entry("serial_number", "C02LK0ABCDEF") + "<key>number_processors</key><integer>2</integer>"));
  auto hw = ZEBUtilities::makeHardwareDictionary();
  ASSERT_TRUE(hw);
  EXPECT_EQ(*lookup(*hw, "hardware_name"), Value("MacBook Pro (Retina, 13-inch, Late 2013)"));
  EXPECT_EQ(*lookup(*hw, "hardware_description"), Value("MacBook Pro 2.6 GHz Intel Core i5 (MacBookPro11,1) "));
  EXPECT_EQ(*lookup(*hw, "serial_number"), Value("C02LK0ABCDEF"));
  EXPECT_EQ(*lookup(*hw, "number_processors"), Value(std::int64_t{2}));
}

TEST_F(HardwareDictionaryTest, UnknownModelHasNoNameButADescription) {
  // A "hardware_name" of the tool's own is dropped when the table has no entry.
  installReport(hardwareItem(entry("machine_model", "Quantum9,9") + entry("hardware_name", "stale") +
                             entry("cpu_type", "Qubit")));
  auto hw = ZEBUtilities::makeHardwareDictionary();
  ASSERT_TRUE(hw);
  EXPECT_EQ(lookup(*hw, "hardware_name"), nullptr);
  EXPECT_EQ(*lookup(*hw, "hardware_description"), Value("Qubit (Quantum9,9) "));

  installReport(hardwareItem(""));
  hw = ZEBUtilities::makeHardwareDictionary();
  ASSERT_TRUE(hw);
  EXPECT_EQ(*lookup(*hw, "hardware_description"), Value(""));
}

TEST_F(HardwareDictionaryTest, OnReleaseSevenTheSystemProfilerApplicationsTableIsUsed) {
  root_.writeSystemVersion("10.7.5");
  test::writeFile(root_.path(std::string(ZEBUtilities::kSystemProfilerModelTablePath)),
                  "<plist version=\"1.0\"><dict><key>Special1,1</key><dict><key>name</key>"
                  "<string>Special Machine</string></dict></dict></plist>");
  installReport(hardwareItem(entry("machine_model", "Special1,1")));
  auto hw = ZEBUtilities::makeHardwareDictionary();
  ASSERT_TRUE(hw);
  EXPECT_EQ(*lookup(*hw, "hardware_name"), Value("Special Machine"));

  // The built-in table is not consulted then.
  installReport(hardwareItem(entry("machine_model", "MacBookPro11,1")));
  hw = ZEBUtilities::makeHardwareDictionary();
  ASSERT_TRUE(hw);
  EXPECT_EQ(lookup(*hw, "hardware_name"), nullptr);
}

TEST_F(HardwareDictionaryTest, NoHardwareItemsGiveNothing) {
  root_.writeTool("/usr/sbin/system_profiler", "exit 1\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(ZEBUtilities::makeHardwareDictionary(), std::nullopt);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" ZEB: +[ZEBUtilities hardwareDictionary] - Error getting hardware info: Error Domain="
                     "com.orvel.tessel.VellumDrift Code=-5"),
            std::string::npos)
      << out;

  installReport("");
  EXPECT_EQ(ZEBUtilities::makeHardwareDictionary(), std::nullopt);
  installReport("<string>not a dictionary</string>");
  EXPECT_EQ(ZEBUtilities::makeHardwareDictionary(), std::nullopt);
}

// This very machine, through the system_profiler stand-in built with the daemon; the summary is
// computed once per process and kept even when the tool fails later.
TEST_F(HardwareDictionaryTest, ThisMachineThroughTheStandInToolAndCachedForTheProcess) {
  std::filesystem::create_directories(root_.path("/usr/sbin"));
  std::filesystem::create_symlink(ZEB_SYSTEM_PROFILER_TOOL, root_.path("/usr/sbin/system_profiler"));
  const Dictionary* hw = ZEBUtilities::hardwareDictionary();
  ASSERT_NE(hw, nullptr);
  const Value* description = lookup(*hw, "hardware_description");
  ASSERT_TRUE(description && description->asString());
  EXPECT_FALSE(description->asString()->empty());
  std::cout << "hardware_description: \"" << *description->asString() << "\"\n";
  if (const Value* name = lookup(*hw, "hardware_name")) std::cout << "hardware_name: " << describe(*name) << "\n";
  RecordProperty("hardware_description", *description->asString());

  std::filesystem::remove(root_.path("/usr/sbin/system_profiler"));
  root_.writeTool("/usr/sbin/system_profiler", "exit 1\n");
  EXPECT_EQ(ZEBUtilities::hardwareDictionary(), hw);
  EXPECT_EQ(*lookup(*ZEBUtilities::hardwareDictionary(), "hardware_description"), *description);
}

}  // namespace
}  // namespace zeb
