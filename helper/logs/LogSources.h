// The log directories clients may take files from, and the check that a file a client names really
// lies in one of them: by its path with "." and ".." collapsed, and again once every link on the way
// to it has been followed, on the very item that is then copied.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/UniqueFd.h"

namespace zeb::files {

// As clients name them; on this system they lie below the system root.
inline constexpr std::string_view kLogDirectories[] = {"/Library/Logs", "/var/log"};

// Where the file that a client calls `source` lies here: the source with "." and ".." collapsed must
// lie strictly below a log directory ("/var/logfile" and "/var/log" itself do not), and is then
// relocated under the system root. Nothing for any other path, a relative one or one with a NUL byte.
std::optional<std::string> logFilePath(std::string_view source);

// The log directory (one of kLogDirectories) as it lies here: relocated, every link resolved.
// Nothing when it does not exist.
std::optional<std::string> resolvedLogDirectory(std::string_view directory);

enum class LogSourceVerdict {
  kInside,   // opened, and it lies in a log directory
  kMissing,  // below a log directory by name, but nothing is there
  kOutside,  // not a log directory's by name, or it leads out of them
};

struct LogSource {
  LogSourceVerdict verdict = LogSourceVerdict::kOutside;
  UniqueFd fd;  // O_PATH, close-on-exec, links followed; set only when inside
};

// Opens the file a client named, following links, and keeps it only when the item reached lies
// below a log directory with every link resolved. A regular file with other names (hard links) is
// treated as outside: its content may belong anywhere. Paths outside the log directories by name are
// never looked up, so the answer tells nothing about what exists elsewhere.
LogSource openLogSource(std::string_view source);

}  // namespace zeb::files
