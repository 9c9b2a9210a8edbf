// A fault hook preloaded into the daemon: readdir fails with EIO on every directory whose path (as
// the kernel names the open descriptor) matches the shell pattern in ZEB_FAULT_READDIR. Everything
// else reads as usual.
#include <dirent.h>
#include <dlfcn.h>
#include <fnmatch.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

bool shouldFail(DIR* dir) {
  const char* pattern = std::getenv("ZEB_FAULT_READDIR");
  if (!pattern || !*pattern) return false;
  char path[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(::dirfd(dir));
  const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  return ::fnmatch(pattern, path, 0) == 0;
}

template <typename Entry>
Entry* readOrFail(DIR* dir, const char* name) {
  using Next = Entry* (*)(DIR*);
  const auto next = reinterpret_cast<Next>(::dlsym(RTLD_NEXT, name));
  if (shouldFail(dir)) {
    errno = EIO;
    return nullptr;
  }
  return next(dir);
}

}  // namespace

extern "C" dirent* readdir(DIR* dir) { return readOrFail<dirent>(dir, "readdir"); }
extern "C" dirent64* readdir64(DIR* dir) { return readOrFail<dirent64>(dir, "readdir64"); }
