#include "platform/filesystem/TreeWalk.h"

#include <fcntl.h>

#include <cerrno>
#include <string>

#include "platform/filesystem/DirectoryEntries.h"
#include "platform/filesystem/PathText.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb::files {

namespace {

class Walk {
 public:
  Walk(TreeVisitor& visitor, dev_t device) : visitor_(visitor), device_(device) {}

  Status folder(int dirFd, const std::string& path, std::size_t depth) {
    if (depth >= kMaxTreeDepth) return visitor_.failed(path, cocoaFileError(ELOOP, path, FileOperation::kRead));
    bool visitorStopped = false;
    Status listed = forEachEntry(dirFd, path, [&](std::string_view name) -> Status {
      Status done = entry(dirFd, path, name, depth);
      visitorStopped = !done.ok();
      return done;
    });
    if (listed.ok() || visitorStopped) return listed;
    return visitor_.failed(path, std::move(listed).takeError());
  }

 private:
  Status entry(int dirFd, const std::string& dirPath, std::string_view name, std::size_t depth) {
    const std::string path = joinPath(dirPath, name);
    if (++items_ > kMaxTreeItems) return cocoaFileError(EFBIG, path, FileOperation::kRead);
    const std::string nameText(name);
    UniqueFd fd(::openat(dirFd, nameText.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0) {
      return visitor_.failed(path, cocoaFileError(errno, path, FileOperation::kRead));
    }
    const TreeEntry item{dirFd, nameText, path, fd.get(), status, depth, status.st_dev != device_};
    Result<Visit> visit = visitor_.enter(item);
    if (!visit) return std::move(visit).takeError();
    if (*visit == Visit::kSkip || !S_ISDIR(status.st_mode) || item.otherFileSystem) return Ok{};
    if (Status inside = folder(fd.get(), path, depth + 1); !inside) return inside;
    return visitor_.leave(item);
  }

  TreeVisitor& visitor_;
  dev_t device_;
  std::size_t items_ = 0;
};

}  // namespace

Status walkTree(int topFd, std::string_view topPath, TreeVisitor& visitor) {
  struct stat top {};
  const std::string path(topPath);
  if (::fstat(topFd, &top) != 0) return cocoaFileError(errno, path, FileOperation::kRead);
  Walk walk(visitor, top.st_dev);
  return walk.folder(topFd, path, 0);
}

}  // namespace zeb::files
