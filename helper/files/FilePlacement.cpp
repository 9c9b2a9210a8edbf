#include "helper/files/FilePlacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "helper/files/DirectorySearch.h"
#include "helper/files/LogText.h"
#include "helper/files/Ownership.h"
#include "platform/filesystem/ItemRemoval.h"
#include "platform/filesystem/PathText.h"
#include "platform/filesystem/PathWalk.h"
#include "platform/filesystem/TreeWalk.h"
#include "platform/foundation/Log.h"

namespace zeb::files {

namespace {

void logMoveFailure(std::string_view source, std::string_view target, const Error& error) {
  systemLog(LOG_ERR, "Error moving %s -> %s: %s", printableText(source).c_str(), printableText(target).c_str(),
            printableText(error.localizedDescription()).c_str());
}

// Takes out of a folder (within a private place) every item below it that does not belong to
// `owner` or lies on another file system; root-owned links become the owner's.
class ForeignPruning final : public TreeVisitor {
 public:
  explicit ForeignPruning(uid_t owner) : owner_(owner) {}

  Result<Visit> enter(const TreeEntry& entry) override {
    const struct stat& st = entry.status;
    const std::string name(entry.name);
    if (S_ISLNK(st.st_mode) && st.st_uid != owner_ &&
        ::fchownat(entry.parentFd, name.c_str(), owner_, static_cast<gid_t>(-1), AT_SYMLINK_NOFOLLOW) == 0) {
      return Visit::kSkip;
    }
    if (st.st_uid != owner_ || entry.otherFileSystem) {
      if (Status removed = removeItem(entry.parentFd, name, st, entry.path); !removed)
        return std::move(removed).takeError();
      prunedSome_ = true;
      return Visit::kSkip;
    }
    return Visit::kEnter;
  }

  bool prunedSome() const { return prunedSome_; }

 private:
  uid_t owner_;
  bool prunedSome_ = false;
};

// Finds what a giving would have to leave out: a file with other names elsewhere, a device, a file
// system mounted inside. Changes nothing.
class UngivableSearch final : public TreeVisitor {
 public:
  Result<Visit> enter(const TreeEntry& entry) override {
    if (Status givable = check(entry.status, entry.otherFileSystem, entry.path); !givable)
      return std::move(givable).takeError();
    return Visit::kEnter;
  }
  static Status check(const struct stat& st, bool otherFileSystem, std::string_view path) {
    if (otherFileSystem) return cocoaFileError(EXDEV, path, FileOperation::kWrite);
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) return cocoaFileError(EMLINK, path, FileOperation::kWrite);
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return cocoaFileError(ENOTSUP, path, FileOperation::kWrite);
    return Ok{};
  }
};

Status checkWhollyGivable(int itemFd, std::string_view path) {
  struct stat top {};
  if (::fstat(itemFd, &top) != 0) return cocoaFileError(errno, path, FileOperation::kWrite);
  if (Status givable = UngivableSearch::check(top, false, path); !givable) return givable;
  if (!S_ISDIR(top.st_mode)) return Ok{};
  UngivableSearch search;
  return walkTree(itemFd, path, search);
}

}  // namespace

Result<SharedWork> openWorkPlace() {
  Result<PrivatePlace> place = PrivatePlace::create();
  if (!place) {
    systemLog(LOG_ERR, "Could not make a private place: %s", printableText(place.error().localizedDescription()).c_str());
    return std::move(place).takeError();
  }
  Result<ClientDirectory> directory = ClientDirectory::adopt(place->fd(), place->path());
  if (!directory) return std::move(directory).takeError();
  return SharedWork(std::make_shared<const WorkPlace>(WorkPlace{std::move(place).value(), std::move(directory).value()}));
}

Result<std::string> FilePlacement::movePath(std::string_view source, std::string_view toDirectory,
                                            std::int16_t permissions) const {
  Result<ClientDirectory> directory = ClientDirectory::open(toDirectory, client_);
  if (!directory) {
    const std::string target = joinPath(lexicallyNormalPath(toDirectory), lastComponent(lexicallyNormalPath(source)));
    logMoveFailure(source, target, directory.error());
    return std::move(directory).takeError();
  }
  Result<Published> moved = moveItem(source, *directory, permissions, Giving::kWhole);
  if (!moved) return std::move(moved).takeError();
  return std::move(moved->path);
}

Result<Published> FilePlacement::moveItem(std::string_view source, const ClientDirectory& directory,
                                          std::int16_t permissions, Giving giving) const {
  const std::string target = directory.pathOf(lastComponent(lexicallyNormalPath(source)));
  Result<WalkedParent> from = walkToParent(source, FileOperation::kWrite);
  if (!from) {
    logMoveFailure(source, target, from.error());
    return std::move(from).takeError();
  }
  Result<SharedWork> work = openWorkPlace();
  if (!work) return std::move(work).takeError();
  const WorkPlace& place = *work.value();
  Result<PlacedItem> taken = place.directory.moveItemFrom(from->dir.get(), from->name, source);
  if (!taken) {
    logMoveFailure(source, target, taken.error());
    return std::move(taken).takeError();
  }
  Result<Published> published = publishEntry(directory, place, taken->name, source, permissions, giving);
  if (!published) {
    // Nothing is lost: what could not be placed goes back where it came from.
    Result<ClientDirectory> origin = ClientDirectory::adopt(from->dir.get(), from->resolvedPath);
    if (origin) (void)origin->moveItemFrom(place.place.fd(), taken->name, place.directory.pathOf(taken->name));
  }
  return published;
}

Result<Published> FilePlacement::publishEntry(const ClientDirectory& directory, const WorkPlace& work,
                                              const std::string& name, std::string_view sourceForLog,
                                              std::int16_t permissions, Giving giving) const {
  const std::string source = sourceForLog.empty() ? work.directory.pathOf(name) : std::string(sourceForLog);
  std::string target = directory.pathOf(name);
  Result<PlacedItem> item = work.directory.openEntry(name);
  if (!item) {
    logMoveFailure(source, target, item.error());
    return std::move(item).takeError();
  }
  bool complete = true;
  if (permissions != 0 && giving == Giving::kWhole) {
    if (Status whole = checkWhollyGivable(item->fd.get(), source); !whole) {
      logMoveFailure(source, target, whole.error());
      return std::move(whole).takeError();
    }
  }
  if (permissions != 0) {
    complete = reownItem(item->fd.get(), source, client_, /*recursively=*/true).ok();
    struct stat top {};
    bool given = ::fstat(item->fd.get(), &top) == 0 && top.st_uid == client_;
    if (given && S_ISDIR(top.st_mode)) {
      ForeignPruning pruning(client_);
      given = walkTree(item->fd.get(), source, pruning).ok();
      if (pruning.prunedSome()) complete = false;
    }
    if (!given) {
      Error refused = cocoaFileError(EPERM, target, FileOperation::kWrite);
      logMoveFailure(source, target, refused);
      return refused;
    }
  }
  systemLog(LOG_NOTICE, "Moving %s -> %s", printableText(source).c_str(), printableText(target).c_str());
  std::string lastTarget;
  Result<PlacedItem> placed = directory.moveItemFrom(work.place.fd(), name, source, &lastTarget);
  if (!placed) {
    if (!lastTarget.empty()) target = directory.pathOf(lastTarget);
    logMoveFailure(source, target, placed.error());
    return std::move(placed).takeError();
  }
  return Published{std::move(placed->path), complete};
}

Result<PlacedItem> FilePlacement::copyItem(int sourceFd, std::string_view sourcePath, std::string_view destinationPath,
                                           CopyBudget* budget) const {
  Result<PlacedItem> copied = copyItemToPath(sourceFd, sourcePath, destinationPath, client_, budget);
  if (!copied) return copied;
  (void)reownItem(copied->fd.get(), copied->path, client_, /*recursively=*/true);
  return copied;
}

Result<std::vector<URL>> FilePlacement::findEntriesInDirectory(const URL& directory, Date createdAfter,
                                                               const Regex& pattern) const {
  const Date threshold = createdAfter - std::chrono::seconds(1);
  Result<WalkedItem> dir = walkPath(directory.path(), FinalLink::kFollow, FileOperation::kRead);
  const std::string resolved = dir ? dir->resolvedPath : lexicallyNormalPath(directory.path());
  systemLog(LOG_NOTICE, "Looking in %s for files created after %s with pattern %s", printableText(resolved).c_str(),
            describeDate(createdAfter).c_str(), pattern.pattern().c_str());
  std::vector<URL> urls;
  if (!dir || !S_ISDIR(dir->status.st_mode)) return urls;
  if (!openDirectoryForReading(dir->fd.get(), resolved, FileOperation::kRead)) return urls;
  Result<std::vector<FoundEntry>> found = searchDirectory(dir->fd.get(), resolved, threshold, pattern);
  if (!found) return std::move(found).takeError();
  for (const FoundEntry& entry : *found) urls.push_back(URL::fileURLWithPath(joinPath(resolved, entry.name)));
  return urls;
}

}  // namespace zeb::files
