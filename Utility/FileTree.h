// File-system steps of the working directories and the archiver, done the way a root process must
// do them in places others may reach: nothing here follows a symbolic link at or below the path it
// was given.
#pragma once

#include <string>

#include "platform/foundation/Result.h"

namespace zeb::filetree {

// Deepest directory nesting a removal descends into.
inline constexpr int kMaxRemovalDepth = 256;

// Removes whatever is at path: a file, a link (never its target) or a directory with everything
// below it.
Status removeItem(const std::string& path);

// Creates a directory and any missing parents with default attributes (0777 less the umask). An
// existing directory is no failure; a link in the final place is.
Status createDirectory(const std::string& path);

// Lexical clean-up: collapses "//" and "/./", resolves ".." against what precedes it, drops a
// trailing slash. "/a/b/.." gives "/a"; "b/.." gives ".".
std::string standardizePath(const std::string& path);

// The last component, ignoring trailing slashes ("/a/b/" gives "b").
std::string lastPathComponent(const std::string& path);

}  // namespace zeb::filetree
