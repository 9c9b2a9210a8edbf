// The service connection's errors: one domain, and its codes. The frame codec, the interface table
// and the connection all answer in it; Foundation's own codes stand for a connection that was
// interrupted or is invalid, as a client written for the original platform reads them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace zeb::xpc {

inline constexpr std::string_view kXpcErrorDomain = "com.orvel.zeb.xpc";

enum XpcErrorCode : std::int64_t {
  kXpcMalformedValue = 1,       // bytes that are not one value within the limits
  kXpcMalformedMessage = 2,     // a value that is not [selector, arguments]
  kXpcInvalidArguments = 3,     // a selector or arguments the interface does not declare
  kXpcPeerClosed = 4,           // the peer closed its end: the ordinary end of a connection
  kXpcTimedOutInFrame = 5,      // the peer stopped part-way through a frame, or never spoke
  kXpcConnectionInterrupted = 4097,
  kXpcConnectionInvalid = 4099,
};

inline Error xpcError(XpcErrorCode code, std::string description) {
  return Error::withDescription(std::string(kXpcErrorDomain), code, std::move(description));
}

inline bool isXpcError(const Error& error, XpcErrorCode code) {
  return error.domain() == kXpcErrorDomain && error.code() == code;
}

}  // namespace zeb::xpc
