#include "helper/files/Staging.h"

#include <sys/statvfs.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <vector>

#include "platform/filesystem/FileIdentity.h"
#include "platform/filesystem/ItemRemoval.h"
#include "platform/filesystem/TreeWalk.h"

namespace zeb::files {

namespace {

std::atomic<bool> gForceNamedTemporaries{false};

// Tries at a fresh random temporary name before giving up.
constexpr int kMaxTemporaryNameAttempts = 16;
constexpr std::size_t kCopyBufferSize = 256 * 1024;

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The two ends of one copy, as its errors name them: a failure to read is about the source, any
// other about the destination.
struct CopyEnds {
  std::string_view source;
  std::string_view destination;
  Error reading(int e) const { return cocoaFileError(e, source, FileOperation::kRead); }
  Error writing(int e) const { return cocoaFileError(e, destination, FileOperation::kWrite); }
};

// Reads an O_PATH descriptor's regular file through a fresh descriptor of the same inode; never
// blocks on a pipe or touches a device, since the caller has checked the type.
Result<UniqueFd> reopenForReading(int pathFd, const struct stat& expected, const CopyEnds& ends) {
  // The /proc entry is a link to the very inode; following it is the point (and checked below).
  UniqueFd fd(::open(procPath(pathFd).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return ends.reading(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return ends.reading(errno);
  if (!sameItem(st, expected)) return ends.reading(EBUSY);
  return fd;
}

// Whether `budget` allows writing `n` more bytes into `to`: within what is left of it (EFBIG), and
// within the blocks any user may use, never the ones kept for root (ENOSPC).
Status spend(CopyBudget* budget, int to, std::size_t n, const CopyEnds& ends) {
  if (!budget) return Ok{};
  if (n > budget->remaining) return ends.writing(EFBIG);
  struct statvfs fs {};
  if (::fstatvfs(to, &fs) != 0) return ends.writing(errno);
  if (static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize < n) return ends.writing(ENOSPC);
  budget->remaining -= n;
  return Ok{};
}

Status copyData(int from, int to, CopyBudget* budget, const CopyEnds& ends) {
  std::vector<char> buffer(kCopyBufferSize);
  while (true) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n == 0) return Ok{};
    if (n < 0) {
      if (errno == EINTR) continue;
      // Reading a file that passed every check fails only with the device: the copy is what failed.
      return ends.writing(errno);
    }
    if (Status spent = spend(budget, to, static_cast<std::size_t>(n), ends); !spent) return spent;
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(n)) {
      const ssize_t w = ::write(to, buffer.data() + done, static_cast<std::size_t>(n) - done);
      if (w < 0) {
        if (errno == EINTR) continue;
        return ends.writing(errno);
      }
      done += static_cast<std::size_t>(w);
    }
  }
}

// Owner (when kept), mode without set-id bits, then times: chown would clear set-id bits anyway.
Status applyAttributes(int fd, const struct stat& source, CopyOwner owner, const CopyEnds& ends) {
  if (owner == CopyOwner::kPreserve && ::fchown(fd, source.st_uid, source.st_gid) != 0) return ends.writing(errno);
  if (::fchmod(fd, source.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID)) != 0) return ends.writing(errno);
  const std::array<timespec, 2> times = {source.st_atim, source.st_mtim};
  if (::futimens(fd, times.data()) != 0) return ends.writing(errno);
  return Ok{};
}

// A move hands over items that already belong to their user: each new item takes its owner the
// moment it exists, so that nothing of root's shows in the user's directory while it fills.
Status takeOwner(int fd, const struct stat& source, CopyOwner owner, const CopyEnds& ends) {
  if (owner == CopyOwner::kPreserve && ::fchown(fd, source.st_uid, source.st_gid) != 0) return ends.writing(errno);
  return Ok{};
}

// The content and attributes of the regular file `sourceFd` into the new file `out`.
Status copyFile(int sourceFd, const struct stat& st, int out, CopyOwner owner, CopyBudget* budget,
                const CopyEnds& ends) {
  Result<UniqueFd> in = reopenForReading(sourceFd, st, ends);
  if (!in) return std::move(in).takeError();
  if (Status taken = takeOwner(out, st, owner, ends); !taken) return taken;
  if (Status copied = copyData(in->get(), out, budget, ends); !copied) return copied;
  return applyAttributes(out, st, owner, ends);
}

// Copies what lies below a source folder into a staged folder, entry by entry as the walk meets
// them: each folder is made when entered and gets its attributes when left. Errors name the top
// source or destination, as the copy is one operation to its caller.
class TreeCopy final : public TreeVisitor {
 public:
  TreeCopy(int targetFd, std::string_view sourcePath, std::string_view destinationPath, CopyOwner owner,
           CopyBudget* budget)
      : top_(targetFd), sourcePath_(sourcePath), destinationPath_(destinationPath), owner_(owner), budget_(budget) {}

  Result<Visit> enter(const TreeEntry& entry) override {
    const int target = entry.depth == 0 ? top_ : made_.at(entry.depth - 1).get();
    const std::string name(entry.name);
    const struct stat& st = entry.status;
    const CopyEnds ends = this->ends();
    // A file system mounted inside is not the item the caller meant to copy.
    if (entry.otherFileSystem) return ends.reading(EXDEV);
    if (S_ISREG(st.st_mode)) {
      // Inside a folder as at the top: a file with another name elsewhere (perhaps a root-only file
      // linked into a log folder) is never copied out or given away.
      if (st.st_nlink > 1) return ends.reading(EMLINK);
      UniqueFd out(::openat(target, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!out) return ends.writing(errno);
      if (Status copied = copyFile(entry.fd, st, out.get(), owner_, budget_, ends); !copied)
        return std::move(copied).takeError();
      return Visit::kSkip;
    }
    if (S_ISDIR(st.st_mode)) {
      if (::mkdirat(target, name.c_str(), 0700) != 0) return ends.writing(errno);
      UniqueFd sub(::openat(target, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub) return ends.writing(errno);
      if (Status taken = takeOwner(sub.get(), st, owner_, ends); !taken) return std::move(taken).takeError();
      made_.push_back(std::move(sub));
      return Visit::kEnter;
    }
    if (S_ISLNK(st.st_mode)) {
      char text[PATH_MAX];
      const ssize_t n = ::readlinkat(entry.fd, "", text, sizeof text - 1);
      if (n < 0) return ends.reading(errno);
      text[n] = '\0';
      if (::symlinkat(text, target, name.c_str()) != 0) return ends.writing(errno);
      if (owner_ == CopyOwner::kPreserve &&
          ::fchownat(target, name.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
        return ends.writing(errno);
      return Visit::kSkip;
    }
    return ends.reading(ENOTSUP);  // a device, pipe or socket is never recreated for a client
  }

  Status leave(const TreeEntry& entry) override {
    Status applied = applyAttributes(made_.back().get(), entry.status, owner_, ends());
    made_.pop_back();
    return applied;
  }

  Status failed(std::string_view, Error error) override { return ends().reading(posixErrorCode(error)); }

 private:
  CopyEnds ends() const { return CopyEnds{sourcePath_, destinationPath_}; }

  int top_;
  std::string sourcePath_;
  std::string destinationPath_;
  CopyOwner owner_;
  CopyBudget* budget_;
  std::vector<UniqueFd> made_;  // the folders entered below the top, deepest last
};

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
  const CopyEnds ends{sourcePath, destinationPath};
  struct stat st {};
  if (::fstat(sourceFd, &st) != 0) return ends.reading(errno);
  if (S_ISREG(st.st_mode)) {
    // A moved file with other names elsewhere is never given away; a copy would lose that mark.
    if (owner == CopyOwner::kPreserve && st.st_nlink > 1) return ends.reading(EMLINK);
    Result<StagedItem> staged = createStagedFile(dirFd, destinationPath);
    if (!staged) return staged;
    if (Status copied = copyFile(sourceFd, st, staged->fd.get(), owner, budget, ends); !copied)
      return std::move(copied).takeError();
    return staged;
  }
  if (S_ISDIR(st.st_mode)) {
    Result<StagedItem> staged = createStagedFolder(dirFd, destinationPath);
    if (!staged) return staged;
    if (Status taken = takeOwner(staged->fd.get(), st, owner, ends); !taken) return std::move(taken).takeError();
    TreeCopy copy(staged->fd.get(), sourcePath, destinationPath, owner, budget);
    if (Status copied = walkTree(sourceFd, sourcePath, copy); !copied) return std::move(copied).takeError();
    if (Status applied = applyAttributes(staged->fd.get(), st, owner, ends); !applied)
      return std::move(applied).takeError();
    return staged;
  }
  return ends.reading(S_ISLNK(st.st_mode) ? ELOOP : ENOTSUP);
}

Result<StagedItem> stageNewFile(int dirFd, mode_t mode, std::string_view destinationPath) {
  Result<StagedItem> staged = createStagedFile(dirFd, destinationPath);
  if (!staged) return staged;
  if (::fchmod(staged->fd.get(), mode & 0777) != 0) return cocoaFileError(errno, destinationPath, FileOperation::kWrite);
  return staged;
}

Status publish(int dirFd, StagedItem& item, std::string_view name, std::string_view pathForErrors) {
  const std::string target(name);
  if (item.tempName.empty()) {
    // linkat on the descriptor's /proc entry names exactly our inode and fails on a taken name.
    if (::linkat(AT_FDCWD, procPath(item.fd.get()).c_str(), dirFd, target.c_str(), AT_SYMLINK_FOLLOW) != 0)
      return cocoaFileError(errno, pathForErrors, FileOperation::kWrite);
    item.settled = true;
    return Ok{};
  }
  if (::renameat2(dirFd, item.tempName.c_str(), dirFd, target.c_str(), RENAME_NOREPLACE) != 0)
    return cocoaFileError(errno, pathForErrors, FileOperation::kWrite);
  struct stat ours {};
  struct stat there {};
  if (::fstat(item.fd.get(), &ours) != 0 || ::fstatat(dirFd, target.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      !sameItem(ours, there)) {
    // Our temporary name was taken over; whatever was renamed belongs to the directory's owner.
    item.tempName.clear();
    discard(dirFd, item);
    return cocoaFileError(EBUSY, pathForErrors, FileOperation::kWrite);
  }
  item.tempName.clear();
  item.settled = true;
  return Ok{};
}

StagedItem::~StagedItem() {
  if (!settled) discard(dirFd, *this);
}

void discard(int dirFd, StagedItem& item) {
  if (item.settled) return;
  struct stat st {};
  if (item.fd && ::fstat(item.fd.get(), &st) == 0) {
    if (!item.tempName.empty()) {
      (void)removeItem(dirFd, item.tempName, st, item.tempName);
    } else if (S_ISDIR(st.st_mode)) {
      (void)removeContents(item.fd.get(), "");  // wherever it went, leave it empty
    }
  }
  item.tempName.clear();
  item.fd.reset();
  item.settled = true;
}

}  // namespace zeb::files
