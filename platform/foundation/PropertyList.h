// Property lists (XML and binary) read and written through libplist, as our value type.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace zeb {

// Property lists we read from tools and files are never larger than this.
inline constexpr std::size_t kMaxPropertyListBytes = 32 * 1024 * 1024;

// Parses XML or binary property-list bytes. Dates become their description; integers become
// signed unless they only fit unsigned.
Result<Value> parsePropertyList(std::string_view bytes, std::size_t maxBytes = kMaxPropertyListBytes);

// Reads a property-list file (without following a final symbolic link).
Result<Value> readPropertyListFile(const std::string& path, std::size_t maxBytes = kMaxPropertyListBytes);

// The XML text of a value (nil, URLs and errors are written as strings).
std::string toXMLPropertyList(const Value& value);

}  // namespace zeb
