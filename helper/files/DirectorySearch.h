// Finding what a tool has just written into a directory: its entries by creation time and name.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/Result.h"

namespace zeb::files {

// A search answers at most this many entries: the newest ones, since callers take the newest.
inline constexpr std::size_t kMaxSearchResults = 4096;

struct FoundEntry {
  std::string name;
  Date created;
};

// An entry's creation date: its birth time where the file system keeps one, else its status-change
// time, to the nanosecond.
Date creationDate(const struct statx& status);

// The entries directly inside the directory `dirFd` (any descriptor of it, O_PATH will do) that were
// created strictly after `threshold` and whose name the pattern matches exactly once. Files and
// folders qualify; symbolic links never do, and nothing is followed or entered. Entries whose dates
// cannot be read are left out. Oldest first; equal dates in name order. A directory that cannot be
// read fails with the read error for `pathForErrors`.
[[nodiscard]] Result<std::vector<FoundEntry>> searchDirectory(int dirFd, std::string_view pathForErrors, Date threshold,
                                                              const Regex& pattern);

}  // namespace zeb::files
