#include "platform/filesystem/DirectoryEntries.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <memory>

#include "platform/foundation/UniqueFd.h"

namespace zeb::files {

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

Status forEachEntry(int dirFd, std::string_view pathForErrors, const EntryFunction& fn) {
  UniqueFd readable(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!readable) return cocoaFileError(errno, pathForErrors, FileOperation::kRead);
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(readable.get()));
  if (!dir) return cocoaFileError(errno, pathForErrors, FileOperation::kRead);
  (void)readable.release();  // now the stream's
  while (true) {
    // readdir leaves errno alone at the end and sets it on a failure: the only way to tell them apart.
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0) return cocoaFileError(errno, pathForErrors, FileOperation::kRead);
      return Ok{};
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (Status done = fn(name); !done) return done;
  }
}

}  // namespace zeb::files
