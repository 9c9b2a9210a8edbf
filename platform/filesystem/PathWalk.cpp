#include "platform/filesystem/PathWalk.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <deque>


namespace zeb::files {

namespace {

void pushComponentsFront(std::deque<std::string>& pending, std::string_view text) {
  std::deque<std::string> parts;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('/', pos);
    if (end == std::string_view::npos) end = text.size();
    if (end > pos) parts.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  pending.insert(pending.begin(), parts.begin(), parts.end());
}

UniqueFd openRoot() { return UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)); }

void popComponent(std::string& resolved) {
  const std::size_t slash = resolved.find_last_of('/');
  resolved.erase(slash == std::string::npos ? 0 : slash);
}

// The walk itself; `path` is already normalised and absolute. Errors are about `pathForErrors`.
Result<WalkedItem> walk(const std::string& path, FinalLink finalLink, LinkOwners owners, std::string_view pathForErrors,
                        FileOperation op) {
  const auto fail = [&](int e) { return cocoaFileError(e, pathForErrors, op); };
  std::deque<std::string> pending;
  pushComponentsFront(pending, path);
  UniqueFd current = openRoot();
  if (!current) return fail(errno);
  std::string resolved;  // "" stands for "/"
  std::size_t steps = 0;
  int links = 0;

  while (!pending.empty()) {
    const std::string component = std::move(pending.front());
    pending.pop_front();
    if (++steps > kMaxPathSteps) return fail(ENAMETOOLONG);
    if (component == ".") continue;
    if (component == "..") {
      // Only a root-owned link's target can bring us here: the client's text was normalised.
      UniqueFd up(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!up) return fail(errno);
      current = std::move(up);
      popComponent(resolved);
      continue;
    }
    UniqueFd next(::openat(current.get(), component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return fail(errno);
    struct stat st {};
    if (::fstat(next.get(), &st) != 0) return fail(errno);
    if (S_ISLNK(st.st_mode)) {
      if (pending.empty() && finalLink == FinalLink::kOpenLinkItself) {
        current = std::move(next);
        resolved += "/" + component;
        break;
      }
      if (st.st_uid != 0 && owners == LinkOwners::kRootOnly) return fail(ELOOP);
      if (++links > kMaxSymlinks) return fail(ELOOP);
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(next.get(), "", target, sizeof target);
      if (n < 0) return fail(errno);
      if (n == 0) return fail(ENOENT);
      if (static_cast<std::size_t>(n) >= sizeof target) return fail(ENAMETOOLONG);
      const std::string_view targetText(target, static_cast<std::size_t>(n));
      if (targetText.front() == '/') {
        current = openRoot();
        if (!current) return fail(errno);
        resolved.clear();
      }
      pushComponentsFront(pending, targetText);
      continue;
    }
    if (!pending.empty() && !S_ISDIR(st.st_mode)) return fail(ENOTDIR);
    current = std::move(next);
    resolved += "/" + component;
  }
  WalkedItem out;
  if (::fstat(current.get(), &out.status) != 0) return fail(errno);
  out.fd = std::move(current);
  out.resolvedPath = resolved.empty() ? "/" : resolved;
  return out;
}

Status checkText(std::string_view path, FileOperation op) {
  if (path.find('\0') != std::string_view::npos) return cocoaFileError(EINVAL, path, op);
  if (path.empty() || path.front() != '/') return cocoaFileError(EINVAL, path, op);
  if (path.size() > kMaxPathLength) return cocoaFileError(ENAMETOOLONG, path, op);
  return Ok{};
}

}  // namespace

Result<WalkedItem> walkPath(std::string_view path, FinalLink finalLink, FileOperation op, LinkOwners owners) {
  if (Status text = checkText(path, op); !text) return std::move(text).takeError();
  return walk(lexicallyNormalPath(path), finalLink, owners, path, op);
}

Result<WalkedParent> walkToParent(std::string_view path, FileOperation op) {
  if (Status text = checkText(path, op); !text) return std::move(text).takeError();
  const std::string normal = lexicallyNormalPath(path);
  const std::string_view name = lastComponent(normal);
  if (name.empty()) return cocoaFileError(EINVAL, path, op);
  const std::string parentText(normal.substr(0, normal.size() - name.size()));
  Result<WalkedItem> parent = walk(parentText, FinalLink::kFollow, LinkOwners::kRootOnly, path, op);
  if (!parent) return std::move(parent).takeError();
  if (!S_ISDIR(parent->status.st_mode)) return cocoaFileError(ENOTDIR, path, op);
  return WalkedParent{std::move(parent->fd), std::move(parent->resolvedPath), std::string(name)};
}

Result<UniqueFd> openDirectoryForReading(int pathFd, std::string_view pathForErrors, FileOperation op) {
  UniqueFd fd(::openat(pathFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return cocoaFileError(errno, pathForErrors, op);
  return fd;
}

}  // namespace zeb::files
