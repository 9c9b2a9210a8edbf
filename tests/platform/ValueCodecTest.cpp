#include "protocol/ValueCodec.h"

#include <gtest/gtest.h>

#include "platform/xpc/Connection.h"
#include "platform/xpc/Interface.h"

namespace zeb::xpc {
namespace {

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

TEST(ValueCodec, RoundTripsEveryKind) {
  Dictionary info;
  info.emplace("NSLocalizedDescription", Value("Can't modify path: /x"));
  Dictionary d;
  d.emplace("pid", Value(std::uint64_t{123}));
  d.emplace("filePath", Value("file:///tmp/out.txt"));
  const Value v(Array{Value(), Value(true), Value(std::int64_t{-7}), Value(std::uint64_t{1} << 63), Value(2.5),
                      Value("text"), Value(Data{0, 1, 255}), Value(URL::fileURLWithPath("/tmp/a b")), Value(d),
                      Value(Error("com.orvel.tessel.zeb.privileged", 2, info))});
  auto back = decodeValue(encodeValue(v));
  ASSERT_TRUE(back.ok()) << back.error().localizedDescription();
  EXPECT_EQ(*back, v);
}

TEST(ValueCodec, NaNArgumentsEncodeAgainTheSame) {
  // Found by fuzzing: a NaN is not equal to itself, so round trips compare encodings.
  const std::string nanHalf("\x82\x61x\x81\xf9\xfe\x00", 7);
  auto m = decodeMessage(nanHalf);
  ASSERT_TRUE(m.ok());
  const std::string again = encodeFrame(m->selector, m->arguments);
  auto back = decodeMessage(std::string_view(again).substr(4));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(encodeFrame(back->selector, back->arguments), again);
}

TEST(ValueCodec, RefusesLiesAndExcess) {
  // Each of these must fail without allocating what the header claims.
  const std::pair<const char*, std::string> cases[] = {
      {"array longer than the input", bytes({0x9b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
      {"map longer than the input", bytes({0xba, 0x7f, 0xff, 0xff, 0xff})},
      {"string longer than the input", bytes({0x7a, 0x7f, 0xff, 0xff, 0xff, 'a'})},
      {"indefinite array", bytes({0x9f, 0x01, 0xff})},
      {"indefinite string", bytes({0x7f, 0x61, 'a', 0xff})},
      {"non-string key", bytes({0xa1, 0x01, 0x02})},
      {"duplicate key", bytes({0xa2, 0x61, 'k', 0x01, 0x61, 'k', 0x02})},
      {"invalid UTF-8", bytes({0x62, 0xc3, 0x28})},
      {"unknown tag", bytes({0xc1, 0x01})},
      {"URL tag on a number", bytes({0xd8, 0x20, 0x01})},
      {"trailing bytes", bytes({0x01, 0x02})},
      {"negative integer below int64", bytes({0x3b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
      {"undefined", bytes({0xf7})},
      {"empty", std::string()},
  };
  for (const auto& [name, input] : cases) EXPECT_FALSE(decodeValue(input).ok()) << name;

  std::string deep(kMaxNesting + 1, static_cast<char>(0x81));
  deep.push_back(0x01);
  EXPECT_FALSE(decodeValue(deep).ok());
  std::string ok(kMaxNesting, static_cast<char>(0x81));
  ok.push_back(0x01);
  EXPECT_TRUE(decodeValue(ok).ok());
}

TEST(ValueCodec, MessagesAreSelectorAndArguments) {
  const std::string frame = encodeFrame("copyLogFiles:", Array{Value(Dictionary{})});
  ASSERT_GT(frame.size(), 4u);
  auto m = decodeMessage(frame.substr(4));
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m->selector, "copyLogFiles:");
  EXPECT_FALSE(decodeMessage(encodeValue(Value(Array{Value("x")}))).ok());
  EXPECT_FALSE(decodeMessage(encodeValue(Value(Array{Value(1), Value(Array{})}))).ok());

  // The bytes docs/protocol.md shows, for clients written from it.
  EXPECT_EQ(encodeFrame("performReadyCheck", {}), bytes({0, 0, 0, 0x14, 0x82, 0x71}) + "performReadyCheck" + bytes({0x80}));
  const std::string challenge = encodeFrame(kChallengeSelector, Array{Value(Data(32, 0xab))});
  EXPECT_EQ(challenge.substr(0, 22), bytes({0, 0, 0, 0x32, 0x82, 0x6d}) + "zeb.challenge" + bytes({0x81, 0x58, 0x20}));
  EXPECT_EQ(challenge.size(), 54u);
}

TEST(Interface, ValidatesSelectorsCountsAndTypes) {
  Interface i("Test");
  int calls = 0;
  i.add("sampleProcessWithPID:withDestination:", {ArgType::kUInt64, ArgType::kURL}, [&](const std::shared_ptr<Connection>&, const Array&) { ++calls; });
  i.add("copyLogFiles:", {ArgType::kStringDictionary}, [&](const std::shared_ptr<Connection>&, const Array&) { ++calls; });
  const URL dest = URL::fileURLWithPath("/tmp/s.txt");
  EXPECT_TRUE(i.validate({"sampleProcessWithPID:withDestination:", {Value(std::uint64_t{1}), Value(dest)}}).ok());
  EXPECT_FALSE(i.validate({"sampleProcessWithPID:withDestination:", {Value(std::int64_t{-1}), Value(dest)}}).ok());
  EXPECT_FALSE(i.validate({"sampleProcessWithPID:withDestination:", {Value(std::uint64_t{1})}}).ok());
  EXPECT_FALSE(i.validate({"sampleProcessWithPID:withDestination:", {Value(std::uint64_t{1}), Value("/tmp")}}).ok());
  EXPECT_FALSE(i.validate({"unknown", {}}).ok());
  Dictionary notStrings;
  notStrings.emplace("/var/log/a", Value(1));
  EXPECT_FALSE(i.validate({"copyLogFiles:", {Value(notStrings)}}).ok());
  Dictionary tooMany;
  for (std::size_t k = 0; k <= kMaxStringDictionaryEntries; ++k) tooMany.emplace(std::to_string(k), Value("x"));
  EXPECT_FALSE(i.validate({"copyLogFiles:", {Value(tooMany)}}).ok());
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace zeb::xpc
