#include "Utility/FileTree.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/filesystem/ItemRemoval.h"
#include "platform/filesystem/PathWalk.h"

namespace zeb::filetree {

Status removeItem(const std::string& path) {
  Result<files::WalkedParent> parent = files::walkToParent(path, FileOperation::kWrite);
  if (!parent) return std::move(parent).takeError();
  struct stat status {};
  if (::fstatat(parent->dir.get(), parent->name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
    return cocoaFileError(errno, path, FileOperation::kWrite);
  return files::removeItem(parent->dir.get(), parent->name, status, path);
}

Status createDirectory(const std::string& path) {
  const std::string normal = files::lexicallyNormalPath(path);
  if (normal.empty()) return cocoaFileError(ENOENT, path, FileOperation::kWrite);
  // Each missing ancestor in turn, from the top.
  for (std::size_t pos = normal.find('/', 1); pos != std::string::npos; pos = normal.find('/', pos + 1)) {
    const std::string prefix = normal.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return cocoaFileError(errno, normal, FileOperation::kWrite);
  }
  if (::mkdir(normal.c_str(), 0777) == 0) return Ok{};
  const int e = errno;
  struct stat st {};
  if (e == EEXIST && ::lstat(normal.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Ok{};
  return cocoaFileError(e, normal, FileOperation::kWrite);
}

}  // namespace zeb::filetree
