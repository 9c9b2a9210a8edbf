// The system_profiler stand-in, run as a real program over fixture host files (--host-root).
#include <sys/utsname.h>

#include "UtilityTestSupport.h"
#include "platform/foundation/PropertyList.h"

namespace zeb {
namespace {

const std::string kTool = ZEB_SYSTEM_PROFILER_TOOL;

std::string cpuBlock(int processor, int package, int core, const std::string& modelName, const std::string& mhz) {
  return "processor\t: " + std::to_string(processor) + "\nvendor_id\t: GenuineIntel\nmodel name\t: " + modelName +
         "\ncpu MHz\t\t: " + mhz + "\nphysical id\t: " + std::to_string(package) +
         "\ncore id\t\t: " + std::to_string(core) + "\nflags\t\t: fpu vme sse2\n\n";
}

class SystemProfilerToolTest : public ::testing::Test {
 protected:
  // The sections of a run, parsed; fails the test on a bad run.
  Array run(std::vector<std::string> args) {
    auto r = test::runCommand(kTool, std::move(args));
    EXPECT_EQ(r.status, 0) << r.errors;
    auto parsed = parsePropertyList(r.output);
    EXPECT_TRUE(parsed.ok()) << r.output;
    if (!parsed.ok() || !parsed->asArray()) return {};
    return *parsed->asArray();
  }

  Dictionary hardwareItem() {
    const Array report = run({"-xml", "--host-root", host_.path(), "SPHardwareDataType"});
    EXPECT_EQ(report.size(), 1u);
    if (report.size() != 1 || !report[0].asDictionary()) return {};
    const Dictionary& section = *report[0].asDictionary();
    EXPECT_EQ(*lookup(section, "_dataType"), Value("SPHardwareDataType"));
    const Value* items = lookup(section, "_items");
    if (!items || !items->asArray() || items->asArray()->size() != 1 || !(*items->asArray())[0].asDictionary()) {
      ADD_FAILURE() << "no single hardware item";
      return {};
    }
    return *(*items->asArray())[0].asDictionary();
  }

  void writeHost(const std::string& path, const std::string& text) { test::writeFile(host_.path() + path, text); }

  test::TempDir host_;
};

TEST_F(SystemProfilerToolTest, HardwareOfATwoSocketMac) {
  std::string cpuinfo;
  // Two packages of two cores with two threads each: eight processors, four cores.
  for (int p = 0; p < 8; ++p) cpuinfo += cpuBlock(p, p / 4, (p / 2) % 2, "Intel(R)  Xeon(R) CPU E5-2697 v2 @ 2.70GHz", "1200.000");
  writeHost("/proc/cpuinfo", cpuinfo);
  writeHost("/proc/meminfo", "MemTotal:       16318480 kB\nMemFree:         1000 kB\n");
  writeHost("/sys/class/dmi/id/product_name", "MacPro6,1\n");
  writeHost("/sys/class/dmi/id/product_family", "Mac Pro\n");
  writeHost("/sys/class/dmi/id/product_serial", "F5KM1234ABCD\n");
  writeHost("/sys/class/dmi/id/product_uuid", "4c4c4544-0042-3010-8057-b4c04f4e3232\n");

  const Dictionary item = hardwareItem();
  EXPECT_EQ(*lookup(item, "machine_model"), Value("MacPro6,1"));
  EXPECT_EQ(*lookup(item, "machine_name"), Value("Mac Pro"));
  EXPECT_EQ(*lookup(item, "cpu_type"), Value("Intel(R) Xeon(R) CPU E5-2697 v2 @ 2.70GHz"));
  EXPECT_EQ(*lookup(item, "current_processor_speed"), Value("2.7 GHz"));  // rated, not the current clock
  EXPECT_EQ(*lookup(item, "number_processors"), Value(std::int64_t{4}));
  EXPECT_EQ(*lookup(item, "packages"), Value(std::int64_t{2}));
  EXPECT_EQ(*lookup(item, "physical_memory"), Value("16 GB"));
  EXPECT_EQ(*lookup(item, "serial_number"), Value("F5KM1234ABCD"));
  EXPECT_EQ(*lookup(item, "platform_UUID"), Value("4C4C4544-0042-3010-8057-B4C04F4E3232"));
}

TEST_F(SystemProfilerToolTest, PlaceholdersAndMissingFactsFallBack) {
  writeHost("/proc/cpuinfo", "processor\t: 0\nmodel name\t: Some CPU\ncpu MHz\t\t: 2599.998\nflags\t: fpu hypervisor\n\n"
                             "processor\t: 1\nmodel name\t: Some CPU\ncpu MHz\t\t: 2599.998\nflags\t: fpu hypervisor\n");
  writeHost("/sys/class/dmi/id/product_name", "To be filled by O.E.M.\n");
  writeHost("/sys/class/dmi/id/product_serial", "System Serial Number\n");
  struct utsname u {};
  ASSERT_EQ(::uname(&u), 0);

  const Dictionary item = hardwareItem();
  EXPECT_EQ(*lookup(item, "machine_model"), Value("Linux-" + std::string(u.machine)));
  EXPECT_EQ(*lookup(item, "machine_name"), Value("Virtual Machine"));
  EXPECT_EQ(*lookup(item, "current_processor_speed"), Value("2.6 GHz"));
  EXPECT_EQ(*lookup(item, "number_processors"), Value(std::int64_t{2}));
  EXPECT_EQ(lookup(item, "serial_number"), nullptr);
  EXPECT_EQ(lookup(item, "physical_memory"), nullptr);

  // The kernel's nominal frequency wins over the current clock.
  writeHost("/sys/devices/system/cpu/cpu0/cpufreq/base_frequency", "800000\n");
  EXPECT_EQ(*lookup(hardwareItem(), "current_processor_speed"), Value("800 MHz"));
}

TEST_F(SystemProfilerToolTest, DataTypesSelectSectionsInOrderAndUnknownOnesAreSkipped) {
  Array report = run({"-xml", "--host-root", host_.path(), "SPSoftwareDataType", "SPNoSuchDataType", "SPHardwareDataType"});
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(*lookup(*report[0].asDictionary(), "_dataType"), Value("SPSoftwareDataType"));
  EXPECT_EQ(*lookup(*report[1].asDictionary(), "_dataType"), Value("SPHardwareDataType"));
  EXPECT_EQ(run({"-xml", "-detailLevel", "mini"}).size(), 2u);  // every known section
}

TEST_F(SystemProfilerToolTest, HelpAndUsageErrors) {
  auto help = test::runCommand(kTool, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("usage: system_profiler"), std::string::npos);
  auto bad = test::runCommand(kTool, {"-bogus"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.errors.find("unknown option -bogus"), std::string::npos);
}

}  // namespace
}  // namespace zeb
