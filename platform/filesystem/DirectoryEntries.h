// The one directory reader. Every listing goes through here, so that a failed read is always an
// error and never taken for the end of the directory.
#pragma once

#include <functional>
#include <string_view>

#include "platform/foundation/Result.h"

namespace zeb::files {

// Called with each entry's name; an error stops the listing and becomes its answer.
using EntryFunction = std::function<Status(std::string_view name)>;

// Calls `fn` for every entry of the directory `dirFd` (any descriptor of it, O_PATH will do) but "."
// and "..", in listing order. A directory that cannot be opened for reading, or whose reading fails
// part way, answers the Cocoa read error for `pathForErrors` with the system's errno beneath it.
[[nodiscard]] Status forEachEntry(int dirFd, std::string_view pathForErrors, const EntryFunction& fn);

}  // namespace zeb::files
