#include "helper/files/ReplacingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "helper/files/Ownership.h"
#include "helper/files/Staging.h"
#include "platform/foundation/Error.h"

namespace zeb::files {
namespace {

// Temporary names tried before giving up; each is random, so a clash means someone is guessing.
constexpr int kMaxTemporaryNames = 16;

}  // namespace

Result<ExistingItem> replaceableItem(const ClientDirectory& directory, const std::string& name, const std::string& path,
                                     uid_t client) {
  struct stat st {};
  if (::fstatat(directory.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return ExistingItem{};
    return cocoaFileError(errno, path, FileOperation::kWrite);
  }
  if (S_ISDIR(st.st_mode)) return cocoaFileError(EISDIR, path, FileOperation::kWrite);
  if (!S_ISREG(st.st_mode) || (client != 0 && st.st_uid != client))
    return cocoaFileError(EACCES, path, FileOperation::kWrite);
  return ExistingItem{true, st.st_dev, st.st_ino};
}

// Writes `text` under a temporary name, gives it to the client, then puts it in place of `name`:
// with nothing there, never replacing what appears meanwhile; with a file there, by exchanging the
// two and keeping the exchange only when the old item is still the file that was checked.
Status writeAll(int fd, std::string_view text, const std::string& path) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return cocoaFileError(errno, path, FileOperation::kWrite);
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return Ok{};
}

Status writeReplacingFile(const ClientDirectory& directory, const std::string& name, const std::string& path,
                          const std::function<Status(int fd)>& write, uid_t client, mode_t mode) {
  const int dir = directory.fd();
  std::optional<PlacedItem> written;
  std::string tempName;
  for (int attempt = 0; attempt < kMaxTemporaryNames && !written; ++attempt) {
    tempName = temporaryName("sample");
    Result<PlacedItem> created =
        directory.createFile(tempName, mode, write);
    if (created) {
      written = std::move(created).value();
    } else if (created.error().code() != kFileWriteFileExistsError) {
      return std::move(created).takeError();
    }
  }
  if (!written) return cocoaFileError(EEXIST, path, FileOperation::kWrite);
  (void)reownItem(written->fd.get(), path, client, /*recursively=*/false);

  const auto giveUp = [&](int e) -> Status {
    ::unlinkat(dir, tempName.c_str(), 0);
    return cocoaFileError(e, path, FileOperation::kWrite);
  };
  Result<ExistingItem> existing = replaceableItem(directory, name, path, client);
  if (!existing) {
    ::unlinkat(dir, tempName.c_str(), 0);
    return std::move(existing).takeError();
  }
  if (!existing->present) {
    if (::renameat2(dir, tempName.c_str(), dir, name.c_str(), RENAME_NOREPLACE) != 0) return giveUp(errno);
    return Ok{};
  }
  if (::renameat2(dir, tempName.c_str(), dir, name.c_str(), RENAME_EXCHANGE) != 0) return giveUp(errno);
  struct stat old {};
  const bool same = ::fstatat(dir, tempName.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode) &&
                    old.st_dev == existing->device && old.st_ino == existing->inode;
  if (!same) {
    // Swapped for something else after the check: put it back and leave it alone.
    if (::renameat2(dir, tempName.c_str(), dir, name.c_str(), RENAME_EXCHANGE) == 0) return giveUp(EACCES);
    return cocoaFileError(EACCES, path, FileOperation::kWrite);
  }
  ::unlinkat(dir, tempName.c_str(), 0);
  return Ok{};
}

}  // namespace zeb::files
