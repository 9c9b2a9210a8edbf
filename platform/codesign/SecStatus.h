// The Security framework's status codes that code-signing checks answer with.
#pragma once

#include <cstdint>

namespace zeb::codesign {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;

}  // namespace zeb::codesign
