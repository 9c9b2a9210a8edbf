// Whether two looks at a name saw the same item: what every check against a swap compares.
#pragma once

#include <sys/stat.h>

namespace zeb::files {

inline bool sameItem(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace zeb::files
