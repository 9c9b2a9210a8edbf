#include "helper/files/PrivatePlace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "helper/files/LogText.h"
#include "helper/files/PathPolicy.h"
#include "platform/filesystem/PathWalk.h"
#include "helper/files/Staging.h"
#include "platform/filesystem/DirectoryEntries.h"
#include "platform/filesystem/ItemRemoval.h"
#include "platform/foundation/Log.h"

namespace zeb::files {

namespace {

// Tries at a fresh random name before giving up.
constexpr int kMaxNameAttempts = 16;

struct Base {
  std::mutex mutex;
  UniqueFd fd;
  std::string path;
  std::set<std::string> live;
};

Base& base() {
  static Base* b = new Base;  // used from the daemon's exit paths: never destroyed
  return *b;
}

// No one but root may rename or replace what is in the folder: owned by root, and writable by
// group or others only when sticky.
bool onlyRootCanRearrange(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == 0 && ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX));
}

// The pid in "request.PID.RANDOM", or 0.
pid_t ownerPid(std::string_view name) {
  if (!name.starts_with(kPrivatePlacePrefix)) return 0;
  name.remove_prefix(kPrivatePlacePrefix.size());
  const std::size_t dot = name.find('.');
  if (dot == 0 || dot == std::string_view::npos) return 0;
  pid_t pid = 0;
  for (char c : name.substr(0, dot)) {
    if (c < '0' || c > '9' || pid > 4194304) return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

Status createMissing(const std::string& path) {
  std::string prefix;
  std::size_t at = 1;
  while (at <= path.size()) {
    const std::size_t slash = path.find('/', at);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    prefix = path.substr(0, end);
    if (::mkdir(prefix.c_str(), end == path.size() ? 0700 : 0755) != 0 && errno != EEXIST)
      return cocoaFileError(errno, prefix, FileOperation::kWrite);
    at = end + 1;
  }
  return Ok{};
}

Status clearStale(int dirFd, std::string_view basePath) {
  std::set<std::string> stale;
  Status listed = forEachEntry(dirFd, basePath, [&](std::string_view name) -> Status {
    const pid_t pid = ownerPid(name);
    // A place of a daemon that still runs (another instance on the same base) is left alone.
    if (pid > 0 && (pid == ::getpid() || ::kill(pid, 0) != 0)) stale.emplace(name);
    return Ok{};
  });
  if (!listed) return listed;
  for (const std::string& name : stale) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (Status removed = removeItem(dirFd, name, st, joinPath(basePath, name)); !removed) {
      systemLog(LOG_WARNING, "Could not remove the stale private place %s: %s", printableText(name).c_str(),
                std::strerror(posixErrorCode(removed.error())));
    } else {
      systemLog(LOG_NOTICE, "Removed the stale private place %s", printableText(name).c_str());
    }
  }
  return Ok{};
}

}  // namespace

Status PrivatePlace::prepareBase(std::string_view path) {
  const std::string normal = lexicallyNormalPath(path);
  if (normal.empty() || normal.front() != '/') return cocoaFileError(EINVAL, path, FileOperation::kWrite);
  if (Status made = createMissing(normal); !made) return made;
  Result<WalkedItem> item = walkPath(normal, FinalLink::kFollow, FileOperation::kWrite);
  if (!item) return std::move(item).takeError();
  // The folder and every folder above it: a user who could rename any of them could swap the place.
  const std::string& resolved = item->resolvedPath;
  for (std::size_t end = resolved.size(); end != std::string::npos && end > 0; end = resolved.rfind('/', end - 1)) {
    struct stat st {};
    const std::string prefix = resolved.substr(0, end);
    if (::lstat(prefix.c_str(), &st) != 0) return cocoaFileError(errno, prefix, FileOperation::kWrite);
    if (!onlyRootCanRearrange(st)) return cocoaFileError(EACCES, prefix, FileOperation::kWrite);
  }
  Result<UniqueFd> readable = openDirectoryForReading(item->fd.get(), normal, FileOperation::kWrite);
  if (!readable) return std::move(readable).takeError();
  if (Status cleared = clearStale(readable->get(), resolved); !cleared) return cleared;
  Base& b = base();
  std::lock_guard lock(b.mutex);
  b.fd = std::move(readable).value();
  b.path = resolved;
  return Ok{};
}

Result<PrivatePlace> PrivatePlace::create() {
  Base& b = base();
  std::lock_guard lock(b.mutex);
  if (!b.fd) return cocoaFileError(ENOENT, kDefaultPrivateBase, FileOperation::kWrite);
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    // temporaryName gives ".request.-HEX"; the pid goes in front of the random part.
    const std::string random = temporaryName("x").substr(3);
    std::string name = std::string(kPrivatePlacePrefix) + std::to_string(::getpid()) + "." + random;
    const std::string path = joinPath(b.path, name);
    if (::mkdirat(b.fd.get(), name.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return cocoaFileError(errno, path, FileOperation::kWrite);
    }
    UniqueFd fd(::openat(b.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return cocoaFileError(errno, path, FileOperation::kWrite);
    b.live.insert(name);
    return PrivatePlace(std::move(fd), std::move(name), path);
  }
  return cocoaFileError(EEXIST, b.path, FileOperation::kWrite);
}

void PrivatePlace::removeAll() {
  Base& b = base();
  std::lock_guard lock(b.mutex);
  for (const std::string& name : b.live) {
    struct stat st {};
    if (::fstatat(b.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      (void)removeItem(b.fd.get(), name, st, joinPath(b.path, name));
  }
  b.live.clear();
}

PrivatePlace::PrivatePlace(UniqueFd fd, std::string name, std::string path)
    : fd_(std::move(fd)), name_(std::move(name)), path_(std::move(path)) {}

PrivatePlace::PrivatePlace(PrivatePlace&& other) noexcept
    : fd_(std::move(other.fd_)), name_(std::exchange(other.name_, {})), path_(std::move(other.path_)) {}

PrivatePlace::~PrivatePlace() {
  if (name_.empty()) return;
  Base& b = base();
  std::lock_guard lock(b.mutex);
  struct stat st {};
  if (fd_ && ::fstat(fd_.get(), &st) == 0) {
    if (Status removed = removeItem(b.fd.get(), name_, st, path_); !removed && posixErrorCode(removed.error()) != ENOENT) {
      systemLog(LOG_WARNING, "Could not remove the private place %s: %s", printableText(path_).c_str(),
                std::strerror(posixErrorCode(removed.error())));
    }
  }
  b.live.erase(name_);
}

std::string PrivatePlace::pinnedPath() const { return "/dev/fd/" + std::to_string(fd_.get()); }

}  // namespace zeb::files
