// Client-chosen text in log lines: names may hold newlines, control bytes or bytes that are not
// UTF-8, and must not be able to forge or break a line of the system log.
#pragma once

#include <string>
#include <string_view>

namespace zeb::files {

// The text with control characters, DEL, backslashes and every byte outside valid UTF-8 written as
// "\xHH"; valid UTF-8 text without those is returned unchanged.
std::string printableText(std::string_view text);

}  // namespace zeb::files
