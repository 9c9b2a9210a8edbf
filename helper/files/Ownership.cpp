#include "helper/files/Ownership.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "helper/files/LogText.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Log.h"

namespace zeb::files {

namespace {

constexpr std::string_view kHardLinkedText = "The item has more than one hard link; its owner stays unchanged.";

void logFailure(std::string_view path, std::string_view description) {
  systemLog(LOG_WARNING, "Error updating permissions of %s: %s", printableText(path).c_str(),
            std::string(description).c_str());
}

// Not a failed call but a refusal: EMLINK, with a text that says why.
Error hardLinked() {
  return Error::withDescription(std::string(kPOSIXErrorDomain), EMLINK, std::string(kHardLinkedText));
}

// Changes the owner of one item. `inside`: the item lies below the top of the walk. A link there is
// part of what was placed and changes owner itself (never its target); a link at the top is the
// client's own path and stays. Device nodes are never given away: that would be raw access to them.
Status changeOwner(int fd, const struct stat& st, std::string_view path, uid_t owner, bool inside) {
  if ((S_ISLNK(st.st_mode) && !inside) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return Ok{};
  if (S_ISREG(st.st_mode) && st.st_nlink > 1) return hardLinked();
  if (owner == kNoUser) return cocoaFileError(EINVAL, path, FileOperation::kWrite);
  if (::fchownat(fd, "", owner, static_cast<gid_t>(-1), AT_EMPTY_PATH) != 0)
    return cocoaFileError(errno, path, FileOperation::kWrite);
  return Ok{};
}

class Reowning final : public TreeVisitor {
 public:
  explicit Reowning(uid_t owner) : owner_(owner) {}

  Result<Visit> enter(const TreeEntry& entry) override {
    if (entry.otherFileSystem) return Visit::kSkip;  // a mount point: not ours to give away
    if (Status changed = changeOwner(entry.fd, entry.status, entry.path, owner_, /*inside=*/true); !changed)
      note(entry.path, std::move(changed).takeError());
    return Visit::kEnter;
  }

  Status failed(std::string_view path, Error error) override {
    note(path, std::move(error));
    return Ok{};
  }

  Status result() && {
    if (first_) return std::move(*first_);
    return Ok{};
  }

 private:
  void note(std::string_view path, Error error) {
    logFailure(path, error.localizedDescription());
    if (!first_) first_ = std::move(error);
  }

  uid_t owner_;
  std::optional<Error> first_;
};

}  // namespace

Status reownItem(int itemFd, std::string_view pathForLog, uid_t owner, bool recursively) {
  struct stat st {};
  if (::fstat(itemFd, &st) != 0) return Ok{};
  if (Status top = changeOwner(itemFd, st, pathForLog, owner, /*inside=*/false);
      !top && posixErrorCode(top.error()) == EMLINK)
    logFailure(pathForLog, kHardLinkedText);
  if (!recursively || !S_ISDIR(st.st_mode)) return Ok{};
  Reowning reowning(owner);
  if (Status walked = walkTree(itemFd, pathForLog, reowning); !walked) {
    logFailure(pathForLog, walked.error().localizedDescription());
    return walked;
  }
  return std::move(reowning).result();
}

}  // namespace zeb::files
