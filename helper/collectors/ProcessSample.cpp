// The process sample: the sampling tool's output is the report, written by the daemon itself into the
// file the client named. The file appears whole or not at all, and an existing file is replaced only
// when it is a regular file of the client's.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "Utility/SystemRoot.h"
#include "helper/ZEBPrivilegedDaemon.h"
#include "helper/collectors/CollectorSupport.h"
#include "helper/collectors/CollectorText.h"
#include "helper/files/LogText.h"
#include "helper/files/Ownership.h"
#include "helper/files/PathPolicy.h"
#include "helper/files/PathWalk.h"
#include "platform/foundation/Log.h"

using namespace zeb;
using namespace zeb::collectors;

namespace {

constexpr const char* kSampleTool = "/usr/bin/sample";
constexpr const char* kSampleDomain = "com.orvel.zeb.privileged.sample";
constexpr std::int64_t kSampleErrorCode = 1601;
constexpr const char* kSampleSeconds = "5";
constexpr mode_t kReportMode = 0644;
// Temporary names tried before giving up; each is random, so a clash means someone is guessing.
constexpr int kMaxTemporaryNames = 16;

// What may stand at the output file's name: nothing, or a regular file the client may replace.
struct ExistingItem {
  bool present = false;
  dev_t device = 0;
  ino_t inode = 0;
};

Result<ExistingItem> replaceableItem(const ClientPlace& place, const std::string& name, const std::string& path) {
  struct stat st {};
  if (::fstatat(place.directory.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return ExistingItem{};
    return cocoaFileError(errno, path, FileOperation::kWrite);
  }
  if (S_ISDIR(st.st_mode)) return cocoaFileError(EISDIR, path, FileOperation::kWrite);
  if (!S_ISREG(st.st_mode) || (place.client != 0 && st.st_uid != place.client))
    return cocoaFileError(EACCES, path, FileOperation::kWrite);
  return ExistingItem{true, st.st_dev, st.st_ino};
}

std::string temporaryName() {
  unsigned char bytes[8] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    const auto t = now().time_since_epoch().count();
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(t >> (8 * i));
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = ".sample-";
  for (unsigned char b : bytes) {
    name.push_back(kHex[b >> 4]);
    name.push_back(kHex[b & 15]);
  }
  return name;
}

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

// Writes `text` under a temporary name, gives it to the client, then puts it in place of `name`:
// with nothing there, never replacing what appears meanwhile; with a file there, by exchanging the
// two and keeping the exchange only when the old item is still the file that was checked.
Status writeReport(const ClientPlace& place, const std::string& name, const std::string& path, std::string_view text) {
  const int dir = place.directory.fd();
  std::optional<files::PlacedItem> written;
  std::string tempName;
  for (int attempt = 0; attempt < kMaxTemporaryNames && !written; ++attempt) {
    tempName = temporaryName();
    Result<files::PlacedItem> created =
        place.directory.createFile(tempName, kReportMode, [&](int fd) { return writeAll(fd, text, path); });
    if (created) {
      written = std::move(created).value();
    } else if (created.error().code() != kFileWriteFileExistsError) {
      return std::move(created).takeError();
    }
  }
  if (!written) return cocoaFileError(EEXIST, path, FileOperation::kWrite);
  (void)files::reownItem(written->fd.get(), path, place.client, /*recursively=*/false);

  const auto giveUp = [&](int e) -> Status {
    ::unlinkat(dir, tempName.c_str(), 0);
    return cocoaFileError(e, path, FileOperation::kWrite);
  };
  Result<ExistingItem> existing = replaceableItem(place, name, path);
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

}  // namespace

void ZEBPrivilegedDaemon::sampleProcessWithPID(std::uint64_t pid, const URL& destination) {
  const auto refuse = [&] {
    if (auto c = client()) c->sampleProcessDidFinish(std::nullopt, accessDeniedErrorForPath(destination.path()));
  };
  if (!canModifyPath(destination.path())) return refuse();
  // The output file's folder must be the client's, and a file already there must be one the
  // client may replace; both are settled before the tool runs.
  const std::string normal = files::lexicallyNormalPath(destination.path());
  const std::string name(files::lastComponent(normal));
  if (name.empty()) return refuse();
  Result<SharedPlace> place = openClientDirectory(normal.substr(0, normal.size() - name.size()), clientUser());
  if (place) {
    if (Result<ExistingItem> existing = replaceableItem(*place.value(), name, normal); !existing) {
      place = std::move(existing).takeError();
    }
  }
  if (!place) {
    systemLog(LOG_NOTICE, "Refusing destination %s: %s", files::printableText(destination.path()).c_str(),
              place.error().localizedDescription().c_str());
    return refuse();
  }

  const Dictionary answer = {{"pid", Value(pid)}, {"filePath", Value(destination.absoluteString())}};
  const auto sampleFailed = [](int status) {
    return Error::withDescription(kSampleDomain, kSampleErrorCode, "Sample process failed with code: " + std::to_string(status));
  };
  Status launched = runCommand(
      SystemRoot::resolve(kSampleTool), {std::to_string(pid), kSampleSeconds},
      [this, place = place.value(), name, path = destination.path(), answer, sampleFailed](Task& task) {
        ZEBOptionalError error;
        if (task.terminationStatus() != 0) {
          error = sampleFailed(task.terminationStatus());
        } else if (Status written = writeReport(*place, name, path, outputText(task.standardOutputData())); !written) {
          systemLog(LOG_ERR, "Error writing sample to %s: %s", files::printableText(path).c_str(),
                    written.error().localizedDescription().c_str());
          error = std::move(written).takeError();
        }
        if (auto c = client()) c->sampleProcessDidFinish(answer, error);
      });
  if (!launched) {
    if (auto c = client()) c->sampleProcessDidFinish(answer, sampleFailed(launchFailureStatus(launched.error())));
  }
}
