// A directory that a client named, opened once and then used only through its descriptor: every
// creation, move, copy and change of owner in it happens relative to that descriptor, so
// swapping the directory or a component of its path for a link afterwards changes nothing.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "helper/files/DirectorySearch.h"
#include "helper/files/Staging.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb::files {

// Names tried for one move: the plain name and the numbered names 2 to 999.
inline constexpr int kMaxNameAttempts = 999;

// An item this process created, moved or found in a client's directory, pinned by its descriptor.
struct PlacedItem {
  std::string name;   // its name in the directory
  std::string path;   // the client's directory path joined with the name: what answers carry
  UniqueFd fd;        // the item itself; hand it to reownItem, never its path
  bool moved = true;  // false when a move found the source already in place
};

// "report.tar 2.gz" for ("report.tar.gz", 2); "Diagnostics 3" for ("Diagnostics", 3). Only the last
// extension is split off; a name whose only period leads it (".profile") or ends it ("notes.") has
// no extension.
std::string numberedName(std::string_view name, long number);

class ClientDirectory {
 public:
  // Opens the directory at `path` (absolute; "." and ".." collapsed as text) walking from "/" one
  // component at a time, following a symbolic link only when root owns it. The directory must
  // belong to `client` unless `client` is root; a foreign directory fails with EACCES's Cocoa error
  // (513), a link owned by someone else with ELOOP's (also 513), a missing one with 4.
  static Result<ClientDirectory> open(std::string_view path, uid_t client);

  // A directory the daemon opened itself (a private place), under the path its log lines name.
  static Result<ClientDirectory> adopt(int dirFd, std::string path);

  ClientDirectory(ClientDirectory&&) = default;
  ClientDirectory& operator=(ClientDirectory&&) = default;

  // The path as the client named it, normalised; answers name items below it.
  const std::string& path() const { return path_; }
  // The same place with root-owned links replaced by their targets.
  const std::string& resolvedPath() const { return resolvedPath_; }
  // O_RDONLY | O_DIRECTORY, close-on-exec. A tool that is to write here must inherit it.
  int fd() const { return fd_.get(); }
  // "/dev/fd/N" for that descriptor: the argument for a tool, valid in a child that inherits it.
  std::string pinnedPath() const;
  // path() joined with `name`.
  std::string pathOf(std::string_view name) const;


  // Pins the entry `name` (one component) without following it, e.g. a report a tool wrote here,
  // for re-owning. A link is opened as the link (and reownItem leaves it alone).
  Result<PlacedItem> openEntry(std::string_view name) const;

  // Moves the item at `sourcePath` in here under its own name, or the first free numbered name
  // (at most kMaxNameAttempts names; after that the file-exists error, 516). Nothing is replaced.
  // Within a file system this is one rename; across file systems the item is copied out of sight,
  // named in one step, and the source is then removed, so no one ever sees a partial item under a
  // final name. The source is never followed: a link there fails with ELOOP's error (513); so do
  // devices, pipes and sockets (ENOTSUP). An item that already is the target stays and comes back
  // with `moved` false. `lastTarget` receives the last name formed (the numbered name 1000 when
  // every name was taken).
  Result<PlacedItem> moveItem(std::string_view sourcePath, std::string* lastTarget = nullptr) const;
  // The same for the entry `sourceName` of the directory `sourceDirFd` (a private place's item);
  // `sourcePath` names it in errors.
  Result<PlacedItem> moveItemFrom(int sourceDirFd, std::string_view sourceName, std::string_view sourcePath,
                                  std::string* lastTarget = nullptr) const;

  // Copies the file or folder `sourceFd` (O_PATH, opened without following a link at its end; see
  // stageCopy for what is copied and refused) in here as exactly `name`, writing no more than
  // `budget` allows; fails with the file-exists error (516) if the name is taken. The copy appears
  // whole or not at all and belongs to the daemon until it is re-owned. `sourcePath` names the
  // source in errors.
  Result<PlacedItem> copyItem(int sourceFd, std::string_view sourcePath, std::string_view name,
                              CopyBudget* budget = nullptr) const;

  // Creates the regular file `name` with `mode`, written by `write` on a descriptor of the new file
  // before the file gets its name: it appears whole or not at all, and never replaces an item
  // (516 when the name is taken).
  Result<PlacedItem> createFile(std::string_view name, mode_t mode, const std::function<Status(int fd)>& write) const;

 private:
  ClientDirectory(UniqueFd fd, std::string path, std::string resolvedPath)
      : fd_(std::move(fd)), path_(std::move(path)), resolvedPath_(std::move(resolvedPath)) {}

  UniqueFd fd_;
  std::string path_;
  std::string resolvedPath_;
};

// Copies the item `sourceFd` to exactly `destinationPath`, whose directory is opened as
// ClientDirectory::open does for `client`: the log-file copy, no renaming, 516 when taken.
Result<PlacedItem> copyItemToPath(int sourceFd, std::string_view sourcePath, std::string_view destinationPath,
                                  uid_t client, CopyBudget* budget = nullptr);

}  // namespace zeb::files
