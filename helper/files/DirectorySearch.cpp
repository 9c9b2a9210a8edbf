#include "helper/files/DirectorySearch.h"

#include <fcntl.h>

#include <algorithm>

#include "platform/filesystem/DirectoryEntries.h"

namespace zeb::files {

namespace {

bool olderFirst(const FoundEntry& a, const FoundEntry& b) {
  return a.created != b.created ? a.created < b.created : a.name < b.name;
}

}  // namespace

Date creationDate(const struct statx& status) {
  const statx_timestamp& t = (status.stx_mask & STATX_BTIME) ? status.stx_btime : status.stx_ctime;
  return dateFromTimespec(t.tv_sec, static_cast<long>(t.tv_nsec));
}

Result<std::vector<FoundEntry>> searchDirectory(int dirFd, std::string_view pathForErrors, Date threshold,
                                                const Regex& pattern) {
  std::vector<FoundEntry> found;
  // Kept as a heap whose top is the oldest entry, so only the newest kMaxSearchResults stay.
  const auto newerFirst = [](const FoundEntry& a, const FoundEntry& b) { return olderFirst(b, a); };
  Status listed = forEachEntry(dirFd, pathForErrors, [&](std::string_view name) -> Status {
    const std::string entry(name);
    struct statx status {};
    if (::statx(dirFd, entry.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_BTIME | STATX_CTIME,
                &status) != 0)
      return Ok{};
    if (S_ISLNK(status.stx_mode)) return Ok{};
    const Date created = creationDate(status);
    if (!(threshold < created) || pattern.numberOfMatches(name) != 1) return Ok{};
    FoundEntry candidate{entry, created};
    if (found.size() == kMaxSearchResults) {
      if (!olderFirst(found.front(), candidate)) return Ok{};
      std::pop_heap(found.begin(), found.end(), newerFirst);
      found.back() = std::move(candidate);
    } else {
      found.push_back(std::move(candidate));
    }
    std::push_heap(found.begin(), found.end(), newerFirst);
    return Ok{};
  });
  if (!listed) return std::move(listed).takeError();
  std::sort(found.begin(), found.end(), olderFirst);
  return found;
}

}  // namespace zeb::files
