// Giving a placed item, and everything inside it, to the client's user: by descriptor, never
// through a symbolic link, never on a regular file that has other names elsewhere.
#pragma once

#include <sys/types.h>

#include <string_view>

#include "platform/filesystem/TreeWalk.h"
#include "platform/foundation/Result.h"

namespace zeb::files {

// The uid that means "no client": never given anything.
inline constexpr uid_t kNoUser = static_cast<uid_t>(-1);

// Sets the owner of the item behind `itemFd` (an O_PATH descriptor opened without following a link
// at its end) to `owner`; group and mode bits stay. With `recursively` and a folder, then every item
// below it, visited by walkTree. Never changed: symbolic links at the top and device nodes (left
// alone, silently) and regular files with more than one hard link (refused). Not entered: folders of
// another file system than the top item. Every failure or refusal below the top is logged as "Error
// updating permissions of %s: %s" and the walk goes on; the answer is the first of them. What
// happened to the top item itself does not count (a hard-linked top item is still logged).
[[nodiscard]] Status reownItem(int itemFd, std::string_view pathForLog, uid_t owner, bool recursively);

}  // namespace zeb::files
