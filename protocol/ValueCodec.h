// The wire form of values and messages: CBOR (RFC 8949) with URLs as tag 32 and errors as tag 27
// ["NSError", domain, code, userInfo]. A message is the array [selector, [arguments...]]; a frame is
// a 4-byte big-endian length followed by the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace zeb::xpc {

// Limits on what a peer can make us decode.
// Requests a service reads.
inline constexpr std::size_t kMaxFrameBytes = 1024 * 1024;
// Answers a client reads: every answer the service builds from a request within kMaxFrameBytes fits
// (a copy request's answer repeats each of its names with a message, and quoted tool output is cut
// to 64 KiB).
inline constexpr std::size_t kMaxAnswerFrameBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kMaxNesting = 16;
inline constexpr std::size_t kMaxElements = 65536;
inline constexpr std::size_t kMaxSelectorBytes = 256;

inline constexpr std::uint64_t kTagURL = 32;
inline constexpr std::uint64_t kTagObject = 27;

struct Message {
  std::string selector;
  Array arguments;
};

std::string encodeValue(const Value& value);
// The whole frame: length prefix and message.
std::string encodeFrame(std::string_view selector, const Array& arguments);

// Decodes exactly one value filling all of `bytes`, within the limits above.
Result<Value> decodeValue(std::string_view bytes, std::size_t maxBytes = kMaxFrameBytes);
// Decodes a frame's payload (without its length prefix) as a message.
Result<Message> decodeMessage(std::string_view payload, std::size_t maxBytes = kMaxFrameBytes);

}  // namespace zeb::xpc
