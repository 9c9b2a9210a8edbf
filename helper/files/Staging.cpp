#include "helper/files/Staging.h"

#include <dirent.h>
#include <sys/statvfs.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <vector>

#include "helper/files/Ownership.h"
#include "helper/files/PathWalk.h"

namespace zeb::files {

namespace {

std::atomic<bool> gForceNamedTemporaries{false};

// Tries at a fresh random temporary name before giving up.
constexpr int kMaxTemporaryNameAttempts = 16;
constexpr std::size_t kCopyBufferSize = 256 * 1024;

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

bool sameItem(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Reads an O_PATH descriptor's regular file through a fresh descriptor of the same inode; never
// blocks on a pipe or touches a device, since the caller has checked the type.
int reopenForReading(int pathFd, const struct stat& expected, UniqueFd& out) {
  // The /proc entry is a link to the very inode; following it is the point (and checked below).
  UniqueFd fd(::open(procPath(pathFd).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return errno;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (!sameItem(st, expected)) return EBUSY;
  out = std::move(fd);
  return 0;
}

// Whether `budget` allows writing `n` more bytes into `to`: within what is left of it (EFBIG), and
// within the blocks any user may use, never the ones kept for root (ENOSPC).
int spend(CopyBudget* budget, int to, std::size_t n) {
  if (!budget) return 0;
  if (n > budget->remaining) return EFBIG;
  struct statvfs fs {};
  if (::fstatvfs(to, &fs) != 0) return errno;
  if (static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize < n) return ENOSPC;
  budget->remaining -= n;
  return 0;
}

int copyData(int from, int to, CopyBudget* budget) {
  std::vector<char> buffer(kCopyBufferSize);
  while (true) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (const int e = spend(budget, to, static_cast<std::size_t>(n))) return e;
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(n)) {
      const ssize_t w = ::write(to, buffer.data() + done, static_cast<std::size_t>(n) - done);
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += static_cast<std::size_t>(w);
    }
  }
}

// Owner (when kept), mode without set-id bits, then times: chown would clear set-id bits anyway.
int applyAttributes(int fd, const struct stat& source, CopyOwner owner) {
  if (owner == CopyOwner::kPreserve && ::fchown(fd, source.st_uid, source.st_gid) != 0) return errno;
  if (::fchmod(fd, source.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID)) != 0) return errno;
  const std::array<timespec, 2> times = {source.st_atim, source.st_mtim};
  if (::futimens(fd, times.data()) != 0) return errno;
  return 0;
}

// A move hands over items that already belong to their user: each new item takes its owner the
// moment it exists, so that nothing of root's shows in the user's directory while it fills.
int takeOwner(int fd, const struct stat& source, CopyOwner owner) {
  if (owner == CopyOwner::kPreserve && ::fchown(fd, source.st_uid, source.st_gid) != 0) return errno;
  return 0;
}

// Where a copy failed: the errno value and which side it concerns.
struct CopyFailure {
  int error = 0;
  bool sourceSide = false;
};

class TreeCopy {
 public:
  TreeCopy(CopyOwner owner, CopyBudget* budget) : owner_(owner), budget_(budget) {}

  // Copies the entries of the folder `sourceDirFd` into the folder `targetDirFd`.
  CopyFailure copyChildren(int sourceDirFd, int targetDirFd, std::size_t depth) {
    if (depth >= kMaxTreeDepth) return {ELOOP, true};
    UniqueFd readable(::openat(sourceDirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!readable) return {errno, true};
    DirPtr dir(::fdopendir(readable.get()));
    if (!dir) return {errno, true};
    (void)readable.release();
    const int fd = ::dirfd(dir.get());
    while (true) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (!entry) return {errno, true};
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (++items_ > kMaxTreeItems) return {EFBIG, true};
      UniqueFd child(::openat(fd, entry->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
      struct stat st {};
      if (!child || ::fstat(child.get(), &st) != 0) return {errno, true};
      if (const CopyFailure f = copyEntry(child.get(), st, targetDirFd, entry->d_name, depth); f.error) return f;
    }
  }

 private:
  CopyFailure copyEntry(int sourceFd, const struct stat& st, int targetDirFd, const char* name, std::size_t depth) {
    if (S_ISREG(st.st_mode)) {
      // Inside a folder as at the top: a file with another name elsewhere (perhaps a root-only file
      // linked into a log folder) is never copied out or given away.
      if (st.st_nlink > 1) return {EMLINK, true};
      UniqueFd in;
      if (const int e = reopenForReading(sourceFd, st, in)) return {e, true};
      UniqueFd out(::openat(targetDirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!out) return {errno, false};
      if (const int e = takeOwner(out.get(), st, owner_)) return {e, false};
      if (const int e = copyData(in.get(), out.get(), budget_)) return {e, false};
      if (const int e = applyAttributes(out.get(), st, owner_)) return {e, false};
      return {};
    }
    if (S_ISDIR(st.st_mode)) {
      if (::mkdirat(targetDirFd, name, 0700) != 0) return {errno, false};
      UniqueFd sub(::openat(targetDirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub) return {errno, false};
      if (const int e = takeOwner(sub.get(), st, owner_)) return {e, false};
      if (const CopyFailure f = copyChildren(sourceFd, sub.get(), depth + 1); f.error) return f;
      if (const int e = applyAttributes(sub.get(), st, owner_)) return {e, false};
      return {};
    }
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(sourceFd, "", target, sizeof target - 1);
      if (n < 0) return {errno, true};
      target[n] = '\0';
      if (::symlinkat(target, targetDirFd, name) != 0) return {errno, false};
      if (owner_ == CopyOwner::kPreserve &&
          ::fchownat(targetDirFd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
        return {errno, false};
      return {};
    }
    return {ENOTSUP, true};  // a device, pipe or socket is never recreated for a client
  }

  CopyOwner owner_;
  CopyBudget* budget_;
  std::size_t items_ = 0;
};

Error copyError(const CopyFailure& f, std::string_view sourcePath, std::string_view destinationPath) {
  return f.sourceSide ? cocoaFileError(f.error, sourcePath, FileOperation::kRead)
                      : cocoaFileError(f.error, destinationPath, FileOperation::kWrite);
}

// An empty regular file that nobody else can reach, by name or otherwise, until it is published.
Result<StagedItem> createStagedFile(int dirFd, std::string_view destinationPath) {
  if (!gForceNamedTemporaries.load()) {
    UniqueFd fd(::openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd) return StagedItem(dirFd, std::move(fd), {});
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return cocoaFileError(errno, destinationPath, FileOperation::kWrite);
    }
  }
  for (int attempt = 0; attempt < kMaxTemporaryNameAttempts; ++attempt) {
    std::string name = temporaryName("zeb-staging");
    UniqueFd fd(::openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd) return StagedItem(dirFd, std::move(fd), std::move(name));
    if (errno != EEXIST) return cocoaFileError(errno, destinationPath, FileOperation::kWrite);
  }
  return cocoaFileError(EEXIST, destinationPath, FileOperation::kWrite);
}

Result<StagedItem> createStagedFolder(int dirFd, std::string_view destinationPath) {
  for (int attempt = 0; attempt < kMaxTemporaryNameAttempts; ++attempt) {
    std::string name = temporaryName("zeb-staging");
    if (::mkdirat(dirFd, name.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return cocoaFileError(errno, destinationPath, FileOperation::kWrite);
    }
    UniqueFd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) return cocoaFileError(errno, destinationPath, FileOperation::kWrite);
    // The directory's owner may have swapped our new folder for one of theirs before we opened it.
    if (st.st_uid != ::geteuid() || st.st_nlink != 2 || (st.st_mode & 07777) != 0700) {
      return cocoaFileError(EBUSY, destinationPath, FileOperation::kWrite);
    }
    return StagedItem(dirFd, std::move(fd), std::move(name));
  }
  return cocoaFileError(EEXIST, destinationPath, FileOperation::kWrite);
}

int removeItemAt(int dirFd, std::string_view name, const struct stat& expected, std::size_t depth);

int removeChildren(int dirFd, std::size_t depth) {
  if (depth >= kMaxTreeDepth) return ELOOP;
  UniqueFd readable(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!readable) return errno;
  DirPtr dir(::fdopendir(readable.get()));
  if (!dir) return errno;
  (void)readable.release();
  const int fd = ::dirfd(dir.get());
  struct stat here {};
  if (::fstat(fd, &here) != 0) return errno;
  int result = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      result = errno;
      continue;
    }
    if (st.st_dev != here.st_dev) {  // something mounted inside: not ours to empty
      result = EBUSY;
      continue;
    }
    if (const int e = removeItemAt(fd, name, st, depth + 1); e != 0 && e != ENOENT) result = e;
  }
  return result;
}

int removeItemAt(int dirFd, std::string_view name, const struct stat& expected, std::size_t depth) {
  const std::string entry(name);
  struct stat st {};
  if (::fstatat(dirFd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!sameItem(st, expected)) return EBUSY;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(dirFd, entry.c_str(), 0) == 0 ? 0 : errno;
  UniqueFd sub(::openat(dirFd, entry.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!sub) return errno;
  if (::fstat(sub.get(), &st) != 0) return errno;
  if (!sameItem(st, expected)) return EBUSY;
  if (const int e = removeChildren(sub.get(), depth)) return e;
  return ::unlinkat(dirFd, entry.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

}  // namespace

std::string temporaryName(std::string_view prefix) {
  std::array<unsigned char, 8> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (n > 0) filled += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = "." + std::string(prefix) + "-";
  for (unsigned char b : bytes) {
    name.push_back(kHex[b >> 4]);
    name.push_back(kHex[b & 15]);
  }
  return name;
}

void forceNamedTemporaryFiles(bool force) { gForceNamedTemporaries.store(force); }

Result<StagedItem> stageCopy(int dirFd, int sourceFd, std::string_view sourcePath, std::string_view destinationPath,
                             CopyOwner owner, CopyBudget* budget) {
  struct stat st {};
  if (::fstat(sourceFd, &st) != 0) return cocoaFileError(errno, sourcePath, FileOperation::kRead);
  if (S_ISREG(st.st_mode)) {
    // A moved file with other names elsewhere is never given away; a copy would lose that mark.
    if (owner == CopyOwner::kPreserve && st.st_nlink > 1) return cocoaFileError(EMLINK, sourcePath, FileOperation::kRead);
    UniqueFd in;
    if (const int e = reopenForReading(sourceFd, st, in)) return cocoaFileError(e, sourcePath, FileOperation::kRead);
    Result<StagedItem> staged = createStagedFile(dirFd, destinationPath);
    if (!staged) return staged;
    int e = takeOwner(staged->fd.get(), st, owner);
    if (e == 0) e = copyData(in.get(), staged->fd.get(), budget);
    if (e == 0) e = applyAttributes(staged->fd.get(), st, owner);
    if (e != 0) return cocoaFileError(e, destinationPath, FileOperation::kWrite);
    return staged;
  }
  if (S_ISDIR(st.st_mode)) {
    Result<StagedItem> staged = createStagedFolder(dirFd, destinationPath);
    if (!staged) return staged;
    if (const int e = takeOwner(staged->fd.get(), st, owner)) return cocoaFileError(e, destinationPath, FileOperation::kWrite);
    TreeCopy copy(owner, budget);
    CopyFailure failure = copy.copyChildren(sourceFd, staged->fd.get(), 0);
    if (!failure.error) {
      if (const int e = applyAttributes(staged->fd.get(), st, owner)) failure = {e, false};
    }
    if (failure.error) return copyError(failure, sourcePath, destinationPath);
    return staged;
  }
  return cocoaFileError(S_ISLNK(st.st_mode) ? ELOOP : ENOTSUP, sourcePath, FileOperation::kRead);
}

Result<StagedItem> stageNewFile(int dirFd, mode_t mode, std::string_view destinationPath) {
  Result<StagedItem> staged = createStagedFile(dirFd, destinationPath);
  if (!staged) return staged;
  if (::fchmod(staged->fd.get(), mode & 0777) != 0) return cocoaFileError(errno, destinationPath, FileOperation::kWrite);
  return staged;
}

int publish(int dirFd, StagedItem& item, std::string_view name) {
  const std::string target(name);
  if (item.tempName.empty()) {
    // linkat on the descriptor's /proc entry names exactly our inode and fails on a taken name.
    if (::linkat(AT_FDCWD, procPath(item.fd.get()).c_str(), dirFd, target.c_str(), AT_SYMLINK_FOLLOW) != 0) return errno;
    item.settled = true;
    return 0;
  }
  if (::renameat2(dirFd, item.tempName.c_str(), dirFd, target.c_str(), RENAME_NOREPLACE) != 0) return errno;
  struct stat ours {};
  struct stat there {};
  if (::fstat(item.fd.get(), &ours) != 0 || ::fstatat(dirFd, target.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      !sameItem(ours, there)) {
    // Our temporary name was taken over; whatever was renamed belongs to the directory's owner.
    item.tempName.clear();
    discard(dirFd, item);
    return EBUSY;
  }
  item.tempName.clear();
  item.settled = true;
  return 0;
}

StagedItem::~StagedItem() {
  if (!settled) discard(dirFd, *this);
}

void discard(int dirFd, StagedItem& item) {
  if (item.settled) return;
  struct stat st {};
  if (item.fd && ::fstat(item.fd.get(), &st) == 0) {
    if (!item.tempName.empty()) {
      (void)removeItem(dirFd, item.tempName, st);
    } else if (S_ISDIR(st.st_mode)) {
      (void)removeChildren(item.fd.get(), 0);  // wherever it went, leave it empty
    }
  }
  item.tempName.clear();
  item.fd.reset();
  item.settled = true;
}

int removeItem(int dirFd, std::string_view name, const struct stat& expected) {
  return removeItemAt(dirFd, name, expected, 0);
}

}  // namespace zeb::files
