#include "Utility/FileTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "platform/foundation/UniqueFd.h"

namespace zeb::filetree {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// Removes entry `name` of the directory open as parentFd. Returns 0 or an errno value.
int removeAt(int parentFd, const std::string& name, int depth) {
  if (::unlinkat(parentFd, name.c_str(), 0) == 0) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  if (depth >= kMaxRemovalDepth) return ELOOP;

  // O_NOFOLLOW: an entry swapped for a link since the unlink attempt is refused, not entered.
  const int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
  if (!dir) {
    const int e = errno;
    ::close(fd);
    return e;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string child = entry->d_name;
    if (child != "." && child != "..") names.push_back(child);
  }
  if (errno != 0) return errno;
  int firstError = 0;
  for (const std::string& child : names) {
    const int e = removeAt(::dirfd(dir.get()), child, depth + 1);
    if (e != 0 && e != ENOENT && firstError == 0) firstError = e;
  }
  dir.reset();
  if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) return firstError ? firstError : errno;
  return firstError;
}

std::string parentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

Status removeItem(const std::string& rawPath) {
  const std::string path = withoutTrailingSlashes(rawPath);
  if (path.empty() || path == "/") return cocoaFileError(EINVAL, rawPath, FileOperation::kWrite);
  const std::string name = lastPathComponent(path);
  if (name == "." || name == "..") return cocoaFileError(EINVAL, rawPath, FileOperation::kWrite);
  UniqueFd parent(::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent) return cocoaFileError(errno, rawPath, FileOperation::kWrite);
  if (const int e = removeAt(parent.get(), name, 0); e != 0) return cocoaFileError(e, rawPath, FileOperation::kWrite);
  return Ok{};
}

Status createDirectory(const std::string& rawPath) {
  const std::string path = withoutTrailingSlashes(rawPath);
  if (path.empty()) return cocoaFileError(ENOENT, rawPath, FileOperation::kWrite);
  // Each missing ancestor in turn, from the top.
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string prefix = path.substr(0, pos);
    if (prefix.back() == '/') continue;
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return cocoaFileError(errno, path, FileOperation::kWrite);
  }
  if (::mkdir(path.c_str(), 0777) == 0) return Ok{};
  const int e = errno;
  struct stat st {};
  if (e == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Ok{};
  return cocoaFileError(e, path, FileOperation::kWrite);
}

std::string standardizePath(const std::string& path) {
  const bool absolute = !path.empty() && path.front() == '/';
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") parts.pop_back();
      else if (!absolute) parts.push_back(part);
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty() || absolute) out.push_back('/');
    out.append(part);
  }
  if (out.empty() && absolute) out = "/";
  if (out.empty()) out = ".";
  return out;
}

std::string lastPathComponent(const std::string& rawPath) {
  const std::string path = withoutTrailingSlashes(rawPath);
  if (path == "/") return path;
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace zeb::filetree
