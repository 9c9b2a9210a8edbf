#include "helper/files/DirectorySearch.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <memory>

#include "platform/foundation/UniqueFd.h"

namespace zeb::files {

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

bool olderFirst(const FoundEntry& a, const FoundEntry& b) {
  return a.created != b.created ? a.created < b.created : a.name < b.name;
}

}  // namespace

Date creationDate(const struct statx& status) {
  const statx_timestamp& t = (status.stx_mask & STATX_BTIME) ? status.stx_btime : status.stx_ctime;
  return dateFromTimespec(t.tv_sec, static_cast<long>(t.tv_nsec));
}

std::vector<FoundEntry> searchDirectory(int dirFd, Date threshold, const Regex& pattern) {
  std::vector<FoundEntry> found;
  UniqueFd readable(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!readable) return found;
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(readable.get()));
  if (!dir) return found;
  (void)readable.release();
  const int fd = ::dirfd(dir.get());
  // Kept as a heap whose top is the oldest entry, so only the newest kMaxSearchResults stay.
  const auto newerFirst = [](const FoundEntry& a, const FoundEntry& b) { return olderFirst(b, a); };
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || entry->d_type == DT_LNK) continue;
    struct statx status {};
    if (::statx(fd, entry->d_name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_BTIME | STATX_CTIME,
                &status) != 0)
      continue;
    if (S_ISLNK(status.stx_mode)) continue;
    const Date created = creationDate(status);
    if (!(threshold < created) || pattern.numberOfMatches(name) != 1) continue;
    FoundEntry candidate{std::string(name), created};
    if (found.size() == kMaxSearchResults) {
      if (!olderFirst(found.front(), candidate)) continue;
      std::pop_heap(found.begin(), found.end(), newerFirst);
      found.back() = std::move(candidate);
    } else {
      found.push_back(std::move(candidate));
    }
    std::push_heap(found.begin(), found.end(), newerFirst);
  }
  std::sort(found.begin(), found.end(), olderFirst);
  return found;
}

}  // namespace zeb::files
