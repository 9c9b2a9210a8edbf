// The operations every result passes through on its way to the client: moving it into the client's
// directory under a free name, giving it to the client's user, and finding what a tool just wrote.
// A placement acts for one user: the user who sent the request it serves.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/URL.h"

namespace zeb::files {

class FilePlacement {
 public:
  // `client`: the effective uid of the request's sender (kNoUser owns nothing).
  explicit FilePlacement(uid_t client) : client_(client) {}

  // Moves the item at `source` into the directory `toDirectory` under its own name or the first
  // free numbered name ("report.tar 2.gz", "Diagnostics 3"; 999 names at most, then the file-exists
  // error 516). The directory is opened as ClientDirectory::open does and must belong to the client
  // user (unless root); a source already in that directory stays where it is. Nothing is replaced
  // and a move across file systems never shows a partial item. With non-zero `permissions` the
  // moved item and everything inside it are given to the client user, by descriptor (the bits are
  // not a mode). Answers the final path (the directory's path joined with the name), or nothing
  // with the error in `error`. Logs "Moving %s -> %s" and, on failure, "Error moving %s -> %s: %s".
  std::optional<std::string> movePath(std::string_view source, std::string_view toDirectory, std::int16_t permissions,
                                      Error* error = nullptr) const;

  // Gives the item at the URL, and with `recursively` everything below it, to the client user; see
  // reownItem for what is never changed. Links on the way are followed only when root owns them; a
  // link at the URL itself is left alone. False only when an item below a folder failed.
  bool fixPermissionsOfURL(const URL& url, bool recursively) const;

  // The entries directly in the directory (root-owned links on the way followed, others not) created
  // strictly after `createdAfter` minus one second, whose names the pattern matches exactly once,
  // as URLs below the resolved directory; oldest first. Symbolic links never qualify. Logs
  // "Looking in %s for files created after %s with pattern %s". A directory that cannot be opened
  // or read gives an empty answer.
  std::vector<URL> findEntriesInDirectory(const URL& directory, Date createdAfter, const Regex& pattern) const;

 private:
  uid_t client_;
};

}  // namespace zeb::files
