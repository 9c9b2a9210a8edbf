// Items built out of sight inside a directory and then given their name in one step that never
// replaces anything: a file without a name (O_TMPFILE) linked into place, or a folder (or, where
// unnamed files are not supported, a file) under a random temporary name renamed with
// RENAME_NOREPLACE. Another process sees the final name only once the item is complete.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/filesystem/ItemRemoval.h"

namespace zeb::files {

// A staged item owns its staging: dropped before it is published, it is discarded (see discard).
struct StagedItem {
  StagedItem(int dirFd, UniqueFd fd, std::string tempName)
      : fd(std::move(fd)), tempName(std::move(tempName)), dirFd(dirFd) {}
  StagedItem(StagedItem&& other) noexcept
      : fd(std::move(other.fd)),
        tempName(std::move(other.tempName)),
        dirFd(other.dirFd),
        settled(std::exchange(other.settled, true)) {}
  StagedItem& operator=(StagedItem&&) = delete;
  ~StagedItem();

  UniqueFd fd;           // the new item (a writable file, or a folder opened for reading)
  std::string tempName;  // its temporary name in the directory; empty for an unnamed file
  int dirFd;             // the directory it is staged in (not owned)
  bool settled = false;  // published or discarded: nothing left to clean up
};

enum class CopyOwner {
  kDaemon,    // copies belong to the daemon until someone re-owns them (a copy)
  kPreserve,  // copies keep the source's owner and group (a move across file systems)
};

// What a copy made for a client may still write. Bytes beyond `remaining` fail with EFBIG; a write
// that would dip into the blocks only root may use (statvfs f_bavail) fails with ENOSPC.
struct CopyBudget {
  std::uint64_t remaining;
};

// A copy of the item `sourceFd` (O_PATH, opened without following a link at its end) staged in
// `dirFd`. Regular files and folders are copied; inside folders symbolic links are copied as links,
// never followed. Devices, pipes and sockets are refused, and with kPreserve (a move) so are regular
// files with more than one hard link, which the copy would otherwise let be re-owned. Mode bits are
// kept except set-user-ID and set-group-ID; modification times are kept. Folders are walked by
// walkTree, with its limits; a file system mounted inside is refused (EXDEV). Errors about reading
// name `sourcePath`, all others `destinationPath`.
Result<StagedItem> stageCopy(int dirFd, int sourceFd, std::string_view sourcePath, std::string_view destinationPath,
                             CopyOwner owner, CopyBudget* budget = nullptr);

// An empty regular file with `mode`, staged in `dirFd`, open for writing.
Result<StagedItem> stageNewFile(int dirFd, mode_t mode, std::string_view destinationPath);

// Gives the staged item the name `name` in `dirFd`. The write error for `pathForErrors` is EEXIST's
// when the name is taken (nothing was replaced), EBUSY's when someone swapped the temporary name for
// another item.
[[nodiscard]] Status publish(int dirFd, StagedItem& item, std::string_view name, std::string_view pathForErrors);

// Removes what remains of a staged item that will not be published (dropping it does the same).
void discard(int dirFd, StagedItem& item);

// A random hidden name, ".PREFIX-" and 16 hex digits, for an item that has not got its name yet.
std::string temporaryName(std::string_view prefix);

// Stages files under temporary names even where unnamed files are supported; for tests of that path.
void forceNamedTemporaryFiles(bool force);

}  // namespace zeb::files
