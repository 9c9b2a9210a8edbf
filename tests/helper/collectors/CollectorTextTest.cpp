// Reading tool output: strict UTF-8 and the mobility tool's last line.
#include "helper/collectors/CollectorText.h"

#include <gtest/gtest.h>

namespace zeb::collectors {
namespace {

using namespace std::string_view_literals;

TEST(CollectorText, StrictUTF8RejectsEveryMalformedForm) {
  for (std::string_view good : {""sv, "plain"sv, "caf\xC3\xA9"sv, "\xE2\x82\xAC"sv, "\xF0\x9F\x98\x80"sv,
                                "\xF4\x8F\xBF\xBF"sv, "\xEF\xBF\xBF"sv}) {
    EXPECT_TRUE(strictUTF8Text(good)) << good;
  }
  for (std::string_view bad : {"\x80"sv, "a\xC3"sv, "\xC0\x80"sv, "\xC1\xBF"sv, "\xE0\x80\x80"sv, "\xF0\x80\x80\x80"sv,
                               "\xED\xA0\x80"sv, "\xF4\x90\x80\x80"sv, "\xF5\x80\x80\x80"sv, "\xFF"sv, "\xE2\x28\xA1"sv}) {
    EXPECT_FALSE(strictUTF8Text(bad)) << testing::PrintToString(bad);
  }
  EXPECT_EQ(outputText("/tmp/x\xFF\n"), "");
}

TEST(CollectorText, LastLineSkipsTrailingBlankPiecesOnly) {
  EXPECT_EQ(lastLineWithContent("a\nb \"/x\"\n"), "b \"/x\"");
  EXPECT_EQ(lastLineWithContent("a\nb\n   \n \n"), "b");
  EXPECT_EQ(lastLineWithContent("a\n\t\n"), "\t");  // only spaces are blank
  EXPECT_EQ(lastLineWithContent("a\n  b  \n"), "  b  ");
  EXPECT_EQ(lastLineWithContent(""), "");
  EXPECT_EQ(lastLineWithContent("   \n\n  \n"), "   ");  // nothing with content: the first piece
}

TEST(CollectorText, MobilityPathRunsFromFirstSlashToBeforeTheFinalCharacter) {
  EXPECT_EQ(mobilityReportPath("Network data collected to \"/var/tmp/m.tar.gz\""), "/var/tmp/m.tar.gz");
  EXPECT_EQ(mobilityReportPath("/var/tmp/m.tar.gz"), "/var/tmp/m.tar.g");
  EXPECT_EQ(mobilityReportPath("x /a/b /c'"), "/a/b /c");
  EXPECT_EQ(mobilityReportPath("ends in /"), "");
  EXPECT_FALSE(mobilityReportPath("no location here"));
}

}  // namespace
}  // namespace zeb::collectors
