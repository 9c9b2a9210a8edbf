// Descriptions of values as they appear in log lines: the old-style property-list text that macOS
// prints for dictionaries and arrays, a URL's absolute string, an error's one-line summary.
#pragma once

#include <string>

#include "platform/foundation/Value.h"

namespace zeb {

std::string describe(const Value& value);
std::string describe(const Error& error);

}  // namespace zeb
