// The one recursive walk below a folder. Copies, changes of owner, removals and prunings all visit
// a tree through it, so they share one set of limits: how deep, how many items, never through a
// symbolic link, never into another file system.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"

namespace zeb::files {

// Deepest folder level a walk enters.
inline constexpr std::size_t kMaxTreeDepth = 128;
// Items one walk looks at before it gives up.
inline constexpr std::size_t kMaxTreeItems = std::size_t{1} << 20;

// An item below the top folder.
struct TreeEntry {
  int parentFd;              // the folder that holds it
  std::string_view name;     // its name there
  std::string_view path;     // the top's path joined with the names below it: for messages only
  int fd;                    // the item itself: O_PATH, opened without following a link
  const struct stat& status;  // of `fd`
  std::size_t depth;         // 0 for an entry of the top folder
  bool otherFileSystem;      // mounted inside the tree: never entered
};

enum class Visit {
  kEnter,  // a folder's entries are visited next, then leave() is called for it
  kSkip,   // nothing inside is visited
};

class TreeVisitor {
 public:
  virtual ~TreeVisitor() = default;
  // An item, before anything inside it. An error ends the walk with it.
  virtual Result<Visit> enter(const TreeEntry& entry) = 0;
  // A folder that was entered, after everything inside it.
  virtual Status leave(const TreeEntry&) { return Ok{}; }
  // An item that could not be opened, or a folder that could not be read or lies too deep. Ok goes
  // on without it; an error (by default the one given) ends the walk.
  virtual Status failed(std::string_view /*path*/, Error error) { return error; }
};

// Visits everything below the folder `topFd` (any descriptor of it), depth first, in listing order,
// each item opened relative to its folder's descriptor without following links. Walking past
// kMaxTreeItems ends the walk with EFBIG's read error, whatever the visitor says.
[[nodiscard]] Status walkTree(int topFd, std::string_view topPath, TreeVisitor& visitor);

}  // namespace zeb::files
