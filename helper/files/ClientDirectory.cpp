#include "helper/files/ClientDirectory.h"

#include <fcntl.h>
#include <limits.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

#include "helper/files/LogText.h"
#include "platform/filesystem/FileIdentity.h"
#include "platform/filesystem/PathWalk.h"
#include "platform/foundation/Log.h"

namespace zeb::files {

namespace {

bool isPlainName(std::string_view name) {
  return !name.empty() && name.size() <= NAME_MAX && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace

std::string numberedName(std::string_view name, long number) {
  const std::size_t dot = name.find_last_of('.');
  const std::string n = std::to_string(number);
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return std::string(name) + " " + n;
  return std::string(name.substr(0, dot)) + " " + n + "." + std::string(name.substr(dot + 1));
}

Result<ClientDirectory> ClientDirectory::open(std::string_view path, uid_t client) {
  Result<WalkedItem> item = walkPath(path, FinalLink::kFollow, FileOperation::kWrite);
  if (!item) return std::move(item).takeError();
  if (!S_ISDIR(item->status.st_mode)) return cocoaFileError(ENOTDIR, path, FileOperation::kWrite);
  if (client != 0 && item->status.st_uid != client) return cocoaFileError(EACCES, path, FileOperation::kWrite);
  Result<UniqueFd> readable = openDirectoryForReading(item->fd.get(), path, FileOperation::kWrite);
  if (!readable) return std::move(readable).takeError();
  return ClientDirectory(std::move(readable).value(), lexicallyNormalPath(path), std::move(item->resolvedPath));
}

Result<ClientDirectory> ClientDirectory::adopt(int dirFd, std::string path) {
  UniqueFd fd(::fcntl(dirFd, F_DUPFD_CLOEXEC, 3));
  if (!fd) return cocoaFileError(errno, path, FileOperation::kWrite);
  std::string resolved = path;
  return ClientDirectory(std::move(fd), std::move(path), std::move(resolved));
}

std::string ClientDirectory::pinnedPath() const { return "/dev/fd/" + std::to_string(fd_.get()); }

std::string ClientDirectory::pathOf(std::string_view name) const { return joinPath(path_, name); }

Result<PlacedItem> ClientDirectory::openEntry(std::string_view name) const {
  const std::string target = pathOf(name);
  if (!isPlainName(name)) return cocoaFileError(EINVAL, target, FileOperation::kWrite);
  UniqueFd fd(::openat(fd_.get(), std::string(name).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return cocoaFileError(errno, target, FileOperation::kWrite);
  return PlacedItem{std::string(name), target, std::move(fd), false};
}

Result<PlacedItem> ClientDirectory::moveItem(std::string_view sourcePath, std::string* lastTarget) const {
  Result<WalkedParent> source = walkToParent(sourcePath, FileOperation::kWrite);
  if (!source) return std::move(source).takeError();
  return moveItemFrom(source->dir.get(), source->name, sourcePath, lastTarget);
}

Result<PlacedItem> ClientDirectory::moveItemFrom(int sourceDirFd, std::string_view sourceName,
                                                 std::string_view sourcePath, std::string* lastTarget) const {
  const std::string name(sourceName);
  if (!isPlainName(name)) return cocoaFileError(EINVAL, sourcePath, FileOperation::kWrite);
  if (lastTarget) *lastTarget = name;
  UniqueFd item(::openat(sourceDirFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat itemStatus {};
  if (!item || ::fstat(item.get(), &itemStatus) != 0) return cocoaFileError(errno, sourcePath, FileOperation::kWrite);
  if (S_ISLNK(itemStatus.st_mode)) return cocoaFileError(ELOOP, sourcePath, FileOperation::kWrite);
  if (!S_ISREG(itemStatus.st_mode) && !S_ISDIR(itemStatus.st_mode))
    return cocoaFileError(ENOTSUP, sourcePath, FileOperation::kWrite);

  struct stat sourceDir {};
  struct stat here {};
  if (::fstat(sourceDirFd, &sourceDir) != 0 || ::fstat(fd_.get(), &here) != 0)
    return cocoaFileError(errno, sourcePath, FileOperation::kWrite);
  if (sameItem(sourceDir, here)) return PlacedItem{name, pathOf(name), std::move(item), false};

  const auto nameFor = [&](int attempt) { return attempt == 1 ? name : numberedName(name, attempt); };
  const auto numbersRanOut = [&](int attempt) -> Error {
    if (lastTarget) *lastTarget = nameFor(attempt);  // formed, never tried
    return cocoaFileError(EEXIST, pathOf(nameFor(attempt - 1)), FileOperation::kWrite);
  };

  // Within one file system: a rename that fails rather than replace.
  int attempt = 1;
  for (; attempt <= kMaxNameAttempts; ++attempt) {
    const std::string candidate = nameFor(attempt);
    if (lastTarget) *lastTarget = candidate;
    if (::renameat2(sourceDirFd, name.c_str(), fd_.get(), candidate.c_str(), RENAME_NOREPLACE) == 0) {
      struct stat there {};
      if (::fstatat(fd_.get(), candidate.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 || !sameItem(there, itemStatus)) {
        // The source name was swapped between our look and the rename: not what we meant to move.
        return cocoaFileError(EBUSY, sourcePath, FileOperation::kWrite);
      }
      return PlacedItem{candidate, pathOf(candidate), std::move(item), true};
    }
    if (errno == EXDEV) break;
    if (errno != EEXIST) return cocoaFileError(errno, sourcePath, FileOperation::kWrite);
  }
  if (attempt > kMaxNameAttempts) return numbersRanOut(attempt);

  // Across file systems: copy out of sight, name it in one step, then remove the source.
  Result<StagedItem> staged = stageCopy(fd_.get(), item.get(), sourcePath, pathOf(name), CopyOwner::kPreserve);
  if (!staged) return std::move(staged).takeError();
  for (; attempt <= kMaxNameAttempts; ++attempt) {
    const std::string candidate = nameFor(attempt);
    if (lastTarget) *lastTarget = candidate;
    Status published = publish(fd_.get(), staged.value(), candidate, pathOf(candidate));
    if (!published && posixErrorCode(published.error()) == EEXIST) continue;
    if (!published) return std::move(published).takeError();
    if (Status removed = removeItem(sourceDirFd, name, itemStatus, sourcePath); !removed) {
      systemLog(LOG_WARNING, "Moved %s -> %s but could not remove the source: %s", printableText(sourcePath).c_str(),
                printableText(pathOf(candidate)).c_str(), removed.error().localizedDescription().c_str());
    }
    return PlacedItem{candidate, pathOf(candidate), std::move(staged->fd), true};
  }
  return numbersRanOut(attempt);
}

Result<PlacedItem> ClientDirectory::copyItem(int sourceFd, std::string_view sourcePath, std::string_view name,
                                             CopyBudget* budget) const {
  const std::string target = pathOf(name);
  if (!isPlainName(name)) return cocoaFileError(EINVAL, target, FileOperation::kWrite);
  Result<StagedItem> staged = stageCopy(fd_.get(), sourceFd, sourcePath, target, CopyOwner::kDaemon, budget);
  if (!staged) return std::move(staged).takeError();
  if (Status published = publish(fd_.get(), staged.value(), name, target); !published) {
    return std::move(published).takeError();
  }
  return PlacedItem{std::string(name), target, std::move(staged->fd), true};
}

Result<PlacedItem> ClientDirectory::createFile(std::string_view name, mode_t mode,
                                               const std::function<Status(int fd)>& write) const {
  const std::string target = pathOf(name);
  if (!isPlainName(name)) return cocoaFileError(EINVAL, target, FileOperation::kWrite);
  Result<StagedItem> staged = stageNewFile(fd_.get(), mode, target);
  if (!staged) return std::move(staged).takeError();
  if (Status written = write(staged->fd.get()); !written) {
    return std::move(written).takeError();
  }
  if (Status published = publish(fd_.get(), staged.value(), name, target); !published) {
    return std::move(published).takeError();
  }
  return PlacedItem{std::string(name), target, std::move(staged->fd), true};
}

Result<PlacedItem> copyItemToPath(int sourceFd, std::string_view sourcePath, std::string_view destinationPath,
                                  uid_t client, CopyBudget* budget) {
  if (destinationPath.empty() || destinationPath.front() != '/' || destinationPath.size() > kMaxPathLength)
    return cocoaFileError(EINVAL, destinationPath, FileOperation::kWrite);
  const std::string normal = lexicallyNormalPath(destinationPath);
  const std::string name(lastComponent(normal));
  if (name.empty()) return cocoaFileError(EINVAL, destinationPath, FileOperation::kWrite);
  Result<ClientDirectory> dir = ClientDirectory::open(normal.substr(0, normal.size() - name.size()), client);
  if (!dir) return std::move(dir).takeError();
  return dir->copyItem(sourceFd, sourcePath, name, budget);
}

}  // namespace zeb::files
