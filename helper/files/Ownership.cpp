#include "helper/files/Ownership.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "helper/files/LogText.h"
#include "helper/files/PathWalk.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb::files {

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

constexpr std::string_view kHardLinkedText = "The item has more than one hard link; its owner stays unchanged.";

void logFailure(std::string_view path, std::string_view description) {
  systemLog(LOG_WARNING, "Error updating permissions of %s: %s", printableText(path).c_str(),
            std::string(description).c_str());
}

enum class Outcome { kChanged, kSkipped, kHardLinked, kFailed };

// `inside`: the item lies below the top of the walk. A link there is part of what was placed and
// changes owner itself (never its target); a link at the top is the client's own path and stays.
Outcome changeOwner(int fd, const struct stat& st, uid_t owner, bool inside, int& error) {
  // A device node given to a user would be raw access to the device.
  if ((S_ISLNK(st.st_mode) && !inside) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return Outcome::kSkipped;
  if (S_ISREG(st.st_mode) && st.st_nlink > 1) return Outcome::kHardLinked;
  if (owner == kNoUser) {
    error = EINVAL;
    return Outcome::kFailed;
  }
  if (::fchownat(fd, "", owner, static_cast<gid_t>(-1), AT_EMPTY_PATH) != 0) {
    error = errno;
    return Outcome::kFailed;
  }
  return Outcome::kChanged;
}

class TreeWalk {
 public:
  TreeWalk(uid_t owner, dev_t device) : owner_(owner), device_(device) {}

  // Re-owns the entries of the folder `dirPathFd`, then descends into its folders.
  void visitChildren(int dirPathFd, const std::string& path, std::size_t depth) {
    if (depth >= kMaxTreeDepth) {
      fail(path, "The folder lies too deep to be walked.");
      return;
    }
    Result<UniqueFd> readable = openDirectoryForReading(dirPathFd, path, FileOperation::kRead);
    if (!readable) {
      fail(path, readable.error().localizedDescription());
      return;
    }
    DirPtr dir(::fdopendir(readable.value().get()));
    if (!dir) {
      fail(path, cocoaFileError(errno, path, FileOperation::kRead).localizedDescription());
      return;
    }
    (void)readable.value().release();  // now owned by `dir`
    const int dirFd = ::dirfd(dir.get());
    while (true) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (!entry) {
        if (errno != 0) fail(path, cocoaFileError(errno, path, FileOperation::kRead).localizedDescription());
        return;
      }
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (++items_ > kMaxTreeItems) {
        fail(path, "The folder holds too many items to be walked.");
        return;
      }
      const std::string childPath = joinPath(path, name);
      UniqueFd child(::openat(dirFd, entry->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
      struct stat st {};
      if (!child || ::fstat(child.get(), &st) != 0) {
        fail(childPath, cocoaFileError(errno, childPath, FileOperation::kWrite).localizedDescription());
        continue;
      }
      if (st.st_dev != device_) continue;  // a mount point: not ours to give away
      int error = 0;
      switch (changeOwner(child.get(), st, owner_, /*inside=*/true, error)) {
        case Outcome::kChanged:
        case Outcome::kSkipped:
          break;
        case Outcome::kHardLinked:
          fail(childPath, kHardLinkedText);
          break;
        case Outcome::kFailed:
          fail(childPath, cocoaFileError(error, childPath, FileOperation::kWrite).localizedDescription());
          break;
      }
      if (S_ISDIR(st.st_mode)) visitChildren(child.get(), childPath, depth + 1);
    }
  }

  bool succeeded() const { return succeeded_; }

 private:
  void fail(std::string_view path, std::string_view description) {
    logFailure(path, description);
    succeeded_ = false;
  }

  uid_t owner_;
  dev_t device_;
  std::size_t items_ = 0;
  bool succeeded_ = true;
};

}  // namespace

bool reownItem(int itemFd, std::string_view pathForLog, uid_t owner, bool recursively) {
  struct stat st {};
  if (::fstat(itemFd, &st) != 0) return true;
  int error = 0;
  if (changeOwner(itemFd, st, owner, /*inside=*/false, error) == Outcome::kHardLinked) logFailure(pathForLog, kHardLinkedText);
  if (!recursively || !S_ISDIR(st.st_mode)) return true;
  TreeWalk walk(owner, st.st_dev);
  walk.visitChildren(itemFd, std::string(pathForLog), 0);
  return walk.succeeded();
}

}  // namespace zeb::files
