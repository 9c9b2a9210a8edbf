// Reading what a diagnostic tool printed: strict UTF-8 decoding, and finding the line or marker that
// names the tool's report.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/task/CapturedStream.h"

namespace zeb::collectors {

// The bytes as text when they are valid UTF-8 (no overlong forms, surrogates or code points beyond
// U+10FFFF), else nothing.
std::optional<std::string_view> strictUTF8Text(std::string_view bytes);

// A tool's output as the collectors read it: output that is not valid UTF-8 counts as no output.
std::string_view outputText(std::string_view bytes);

// A tool's output as the collectors read it: all of it when it fits in memory, else its first or
// last CapturedStream::kMemoryBytes cut at whole characters (what the collectors look for lies at
// one end: a report's path in the first or last line, a quoted tail).
enum class OutputEnd { kHead, kTail };
std::string boundedOutput(const CapturedStream& stream, OutputEnd end);

// Whether the whole stream is strict UTF-8 (see strictUTF8Text), read piece by piece.
bool isStrictUTF8(const CapturedStream& stream);

// The last piece of `text` split at line feeds that still has characters once every space
// (U+0020 only) is removed, unchanged; the first piece when none has.
std::string_view lastLineWithContent(std::string_view text);

// The mobility tool's report path in its last line: from the first "/" to just before the line's
// final character (whatever that is). Nothing when the line holds no "/".
std::optional<std::string> mobilityReportPath(std::string_view lastLine);

// Tool output quoted in an answer keeps at most its last kMaxQuotedOutputBytes (whole characters),
// after kCutMarker, so that no answer grows with what a tool prints.
inline constexpr std::size_t kMaxQuotedOutputBytes = 64 * 1024;
inline constexpr std::string_view kCutMarker = "[cut] ...";
std::string quotedOutput(std::string_view text);

inline constexpr std::string_view kLegacyWifiReportMarker = "creating report path: ";

// The legacy Wi-Fi tool's report: the rest of the first line of its error output after the marker,
// with the extension "tgz" appended. Nothing when the first line holds no marker.
std::optional<std::string> legacyWifiReportPath(std::string_view standardError);

}  // namespace zeb::collectors
