#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/foundation/Description.h"
#include "platform/foundation/EmbeddedPlist.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/URL.h"

namespace zeb {
namespace {

TEST(URL, ParsesFileURLsAndRefusesEverythingElse) {
  auto u = URL::parse("file:///tmp/a%20b/");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->path(), "/tmp/a b");
  EXPECT_EQ(u->absoluteString(), "file:///tmp/a%20b/");
  EXPECT_EQ(URL::parse("file://localhost/x")->path(), "/x");
  EXPECT_EQ(URL::parse("FILE:///")->path(), "/");
  EXPECT_EQ(URL::parse("file:///a%ffb")->path(), "/a\xff" "b");
  for (const char* bad : {"http://host/x", "file://evil.example/x", "file:///a%00b", "file:///a%2", "file:///a%zz",
                          "file:relative", "/tmp/x", "file:///x?q=1", ""})
    EXPECT_FALSE(URL::parse(bad)) << bad;
  EXPECT_FALSE(URL::parse(std::string("file:///a\0b", 11)));
}

TEST(URL, BuildsFromPathsAndRoundTrips) {
  const std::string path = "/tmp/we ird/\xc3\xa9\n%#?";
  const URL u = URL::fileURLWithPath(path);
  EXPECT_EQ(u.absoluteString(), "file:///tmp/we%20ird/%C3%A9%0A%25%23%3F");
  EXPECT_EQ(URL::parse(u.absoluteString())->path(), path);
}

TEST(Description, PrintsDictionariesAsPropertyListText) {
  Dictionary d;
  d.emplace("filePath", Value("/tmp/x y"));
  d.emplace("pid", Value(std::uint64_t{12}));
  EXPECT_EQ(describe(Value(d)), "{\n    filePath = \"/tmp/x y\";\n    pid = 12;\n}");
  EXPECT_EQ(describe(Value(URL::fileURLWithPath("/a b"))), "file:///a%20b");
}

TEST(PropertyList, ReadsXMLAndBinaryAndRefusesJunk) {
  Dictionary d;
  d.emplace("ProductVersion", Value("10.9.5"));
  d.emplace("n", Value(std::int64_t{-5}));
  d.emplace("list", Value(Array{Value(true), Value(1.5)}));
  const std::string xml = toXMLPropertyList(Value(d));
  auto parsed = parsePropertyList(xml);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(*parsed, Value(d));
  EXPECT_FALSE(parsePropertyList("not a plist").ok());
  EXPECT_FALSE(parsePropertyList(xml, 10).ok());
  // A binary list with a bogus offset table.
  EXPECT_FALSE(parsePropertyList(std::string("bplist00\x08\x00\x00\x00\x00\x00\x00\x00", 16)).ok());
}

TEST(PropertyList, StringsWithNulBytesDoNotAbort) {
  // Found by fuzzing: libplist aborts when asked for a copy of such a string.
  const std::string xml = std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key><string>a") +
                          std::string(3, '\0') + "b</string></dict></plist>";
  auto v = parsePropertyList(xml);
  if (v.ok()) {
    EXPECT_TRUE(v->asDictionary());
  }
  std::ifstream in(ZEB_SOURCE_DIR "/tests/fuzz/regressions/plist/nul-in-string", std::ios::binary);
  const std::string crash((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(crash.empty());
  (void)parsePropertyList(crash);
}

TEST(Regex, CountsMatchesCaseInsensitively) {
  auto re = Regex::compile("Library/Caches/com.orvel.tessel.Vellum.?Drift(Lite)?/", true);
  ASSERT_TRUE(re.ok());
  EXPECT_EQ(re->numberOfMatches("/Users/u/library/caches/COM.ORVEL.TESSEL.VELLUM DRIFTLITE/x"), 1u);
  EXPECT_EQ(re->numberOfMatches("/Users/u/Library/Caches/com.orvel.tessel.VellumDrift"), 0u);
  EXPECT_EQ(re->numberOfMatches("/Library/Caches/com.orvel.tessel.VellumDrift/Library/Caches/com.orvel.tessel.VellumDrift/"), 2u);
  EXPECT_EQ(re->numberOfMatches("/bad\xff/Library/Caches/com.orvel.tessel.VellumDrift/"), 1u);
  auto bad = Regex::compile("(unclosed", true);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(bad.error().code(), 2048);
}

TEST(Error, CocoaFileErrorsCarryPathAndUnderlyingError) {
  const Error e = cocoaFileError(EEXIST, "/tmp/x/report.tar.gz", FileOperation::kWrite);
  EXPECT_EQ(e.domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(e.code(), 516);
  EXPECT_EQ(*lookup(e.userInfo(), "NSFilePath")->asString(), "/tmp/x/report.tar.gz");
  EXPECT_EQ(lookup(e.userInfo(), "NSUnderlyingError")->asError()->code(), EEXIST);
  EXPECT_EQ(cocoaFileError(ENOENT, "/x", FileOperation::kWrite).code(), 4);
  EXPECT_EQ(cocoaFileError(EACCES, "/x", FileOperation::kWrite).code(), 513);
  EXPECT_EQ(cocoaFileError(ENOSPC, "/x", FileOperation::kWrite).code(), 640);
}

// A section that is not there is nothing; a file that can't be read, or isn't ELF, says why.
TEST(EmbeddedPlist, AbsentSectionsAreNothingAndUnreadableFilesAreErrors) {
  auto names = readElfSection("/proc/self/exe", ".shstrtab");
  ASSERT_TRUE(names.ok());
  ASSERT_TRUE(*names);
  EXPECT_NE((*names)->find(".shstrtab"), std::string::npos);
  auto absent = readElfSection("/proc/self/exe", "__no_such_section");
  ASSERT_TRUE(absent.ok());
  EXPECT_EQ(*absent, std::nullopt);

  for (const auto& [path, code] : {std::pair{"/nonexistent/exe", kFileReadNoSuchFileError},
                                   std::pair{"/proc/self/status", kFileReadUnknownError}}) {
    auto failed = readElfSection(path, ".text");
    ASSERT_FALSE(failed.ok()) << path;
    EXPECT_EQ(failed.error().domain(), kCocoaErrorDomain) << path;
    EXPECT_EQ(failed.error().code(), code) << path;
  }
}

}  // namespace
}  // namespace zeb
