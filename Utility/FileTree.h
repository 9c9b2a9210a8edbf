// File-system steps of the working directories and the archiver, done the way a root process must
// do them in places others may reach: nothing here follows a symbolic link at or below the path it
// was given.
#pragma once

#include <string>

#include "platform/foundation/Result.h"

namespace zeb::filetree {

// Removes whatever is at the absolute `path`: a file, a link (never its target) or a directory with
// everything below it. Links on the way to it are followed only when root owns them.
[[nodiscard]] Status removeItem(const std::string& path);

// Creates a directory and any missing parents with default attributes (0777 less the umask). An
// existing directory is no failure; a link in the final place is.
[[nodiscard]] Status createDirectory(const std::string& path);

}  // namespace zeb::filetree
