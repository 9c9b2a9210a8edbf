// The code-signing family's errors: the Security framework's status codes that checks answer with,
// in the domain the platform reports them in; and the domain of our own key and signing failures.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace zeb::codesign {

using OSStatus = std::int32_t;

// Where the platform reports a Security framework status as an error.
inline constexpr std::string_view kOSStatusErrorDomain = "NSOSStatusErrorDomain";
// Keys that don't load, signatures that can't be made (OpenSSL's reason in the description).
inline constexpr std::string_view kCryptoErrorDomain = "com.orvel.zeb.codesign";
inline constexpr std::int64_t kCryptoErrorCode = 1;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;

// A failed check: the status as the code, the reason as the description.
inline Error secError(OSStatus status, std::string reason) {
  return Error::withDescription(std::string(kOSStatusErrorDomain), status, std::move(reason));
}

// The status an error of a code-signing call carries.
inline OSStatus statusOf(const Error& error) { return static_cast<OSStatus>(error.code()); }

}  // namespace zeb::codesign
