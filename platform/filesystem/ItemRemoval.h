// Removing an item with everything inside it, relative to descriptors: never through a symbolic
// link, never into another file system, and only when the name still holds the item meant.
#pragma once

#include <sys/stat.h>

#include <string_view>

#include "platform/foundation/Result.h"

namespace zeb::files {

// Removes the item `name` of the folder `dirFd` when it still is the item `expected` describes
// (EBUSY's error when it is not). A folder is emptied first; removal goes on past what can't be
// removed and answers the first failure. Errors are write errors about `pathForErrors`.
[[nodiscard]] Status removeItem(int dirFd, std::string_view name, const struct stat& expected,
                                std::string_view pathForErrors);

// Removes everything inside the folder `dirFd`, which stays.
[[nodiscard]] Status removeContents(int dirFd, std::string_view pathForErrors);

}  // namespace zeb::files
