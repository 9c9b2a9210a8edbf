// The one way a path becomes a descriptor: component by component from "/", each step relative to
// the descriptor of the one before, following only the symbolic links the caller allows.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/filesystem/PathText.h"

namespace zeb::files {

// Components handled in one walk, those of followed link targets included.
inline constexpr std::size_t kMaxPathSteps = 1024;
// Symbolic links followed in one walk (the kernel allows 40).
inline constexpr int kMaxSymlinks = 32;
// Longest path accepted as text.
inline constexpr std::size_t kMaxPathLength = 4095;

// Whose symbolic links a walk follows. A link it may not follow ends the walk with ELOOP, as
// O_NOFOLLOW would.
enum class LinkOwners {
  kRootOnly,  // where a client could have planted a link
  kAnyone,    // where what was reached is checked afterwards (resolvedPath), as the log sources are
};

enum class FinalLink {
  kFollow,          // a link at the end is followed like the others on the way
  kOpenLinkItself,   // a link at the end is opened as the link
};

struct WalkedItem {
  UniqueFd fd;               // O_PATH, close-on-exec: the item itself, never through a link at its end
  struct stat status {};     // of that descriptor
  std::string resolvedPath;  // the path with the links that were followed replaced by their targets
};

struct WalkedParent {
  UniqueFd dir;              // O_PATH, close-on-exec
  std::string resolvedPath;  // of the directory
  std::string name;          // the last component, never empty, "." or ".."
};

// Opens the item at `path`. The text is normalised first ("." and ".." collapsed without looking at
// the file system), must be absolute, at most kMaxPathLength bytes and free of NUL bytes. Links are
// followed as `owners` allows. Errors are the file manager's Cocoa errors for `path` and `op`.
Result<WalkedItem> walkPath(std::string_view path, FinalLink finalLink, FileOperation op,
                            LinkOwners owners = LinkOwners::kRootOnly);

// Opens the directory that holds the last component of `path`, following root's links only.
Result<WalkedParent> walkToParent(std::string_view path, FileOperation op);

// Reopens an O_PATH descriptor of a directory for reading its entries (O_RDONLY, close-on-exec).
Result<UniqueFd> openDirectoryForReading(int pathFd, std::string_view pathForErrors, FileOperation op);

}  // namespace zeb::files
