#include "platform/filesystem/ItemRemoval.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "platform/filesystem/FileIdentity.h"
#include "platform/filesystem/TreeWalk.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb::files {

namespace {

// Removes entries on the way out of each folder, so that a folder is empty when its turn comes.
class Removal final : public TreeVisitor {
 public:
  Result<Visit> enter(const TreeEntry& entry) override {
    if (entry.otherFileSystem) {
      note(EBUSY, entry.path);  // something mounted inside: not ours to empty
      return Visit::kSkip;
    }
    if (S_ISDIR(entry.status.st_mode)) return Visit::kEnter;
    unlink(entry, 0);
    return Visit::kSkip;
  }

  Status leave(const TreeEntry& entry) override {
    unlink(entry, AT_REMOVEDIR);
    return Ok{};
  }

  // Goes on past what can't be removed; what is already gone is no failure.
  Status failed(std::string_view, Error error) override {
    if (!first_ && posixErrorCode(error) != ENOENT) first_ = std::move(error);
    return Ok{};
  }

  Status result() && {
    if (first_) return std::move(*first_);
    return Ok{};
  }

 private:
  void unlink(const TreeEntry& entry, int flags) {
    if (::unlinkat(entry.parentFd, std::string(entry.name).c_str(), flags) != 0 && errno != ENOENT)
      note(errno, entry.path);
  }
  void note(int e, std::string_view path) {
    if (!first_) first_ = cocoaFileError(e, path, FileOperation::kWrite);
  }

  std::optional<Error> first_;
};

}  // namespace

Status removeContents(int dirFd, std::string_view pathForErrors) {
  Removal removal;
  if (Status walked = walkTree(dirFd, pathForErrors, removal); !walked) return walked;
  return std::move(removal).result();
}

Status removeItem(int dirFd, std::string_view name, const struct stat& expected, std::string_view pathForErrors) {
  const std::string entry(name);
  struct stat st {};
  if (::fstatat(dirFd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return cocoaFileError(errno, pathForErrors, FileOperation::kWrite);
  if (!sameItem(st, expected)) return cocoaFileError(EBUSY, pathForErrors, FileOperation::kWrite);
  if (!S_ISDIR(st.st_mode)) {
    if (::unlinkat(dirFd, entry.c_str(), 0) != 0) return cocoaFileError(errno, pathForErrors, FileOperation::kWrite);
    return Ok{};
  }
  UniqueFd sub(::openat(dirFd, entry.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!sub || ::fstat(sub.get(), &st) != 0) return cocoaFileError(errno, pathForErrors, FileOperation::kWrite);
  if (!sameItem(st, expected)) return cocoaFileError(EBUSY, pathForErrors, FileOperation::kWrite);
  if (Status emptied = removeContents(sub.get(), pathForErrors); !emptied) return emptied;
  if (::unlinkat(dirFd, entry.c_str(), AT_REMOVEDIR) != 0) return cocoaFileError(errno, pathForErrors, FileOperation::kWrite);
  return Ok{};
}

}  // namespace zeb::files
