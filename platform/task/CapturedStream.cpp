#include "platform/task/CapturedStream.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace zeb {
namespace {

// An unlinked file readable by its owner only: on disk where we can, in memory as a last resort.
UniqueFd openSpillFile() {
  for (const char* dir : {"/var/tmp", "/tmp"}) {
    UniqueFd fd(::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC | O_EXCL, 0600));
    if (fd) return fd;
  }
  return UniqueFd(::memfd_create("zeb-tool-output", MFD_CLOEXEC));
}

}  // namespace

void CapturedStream::append(std::string_view bytes) {
  bytes = bytes.substr(0, kMaxBytes - std::min(size_, kMaxBytes));
  if (bytes.empty()) return;
  const std::size_t inMemory = std::min(bytes.size(), kMemoryBytes - std::min(memory_.size(), kMemoryBytes));
  memory_.append(bytes.substr(0, inMemory));
  size_ += inMemory;
  bytes.remove_prefix(inMemory);
  if (bytes.empty() || spillFailed_) return;
  if (!spill_) spill_ = openSpillFile();
  while (spill_ && !bytes.empty()) {
    const ssize_t n = ::pwrite(spill_.get(), bytes.data(), bytes.size(), static_cast<off_t>(size_ - memory_.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size_ += static_cast<std::size_t>(n);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  // Where the spill file can't take more, the rest is dropped like bytes past kMaxBytes.
  if (!bytes.empty()) spillFailed_ = true;
}

std::string CapturedStream::read(std::size_t offset, std::size_t n) const {
  std::string out;
  if (offset >= size_) return out;
  n = std::min(n, size_ - offset);
  out.reserve(n);
  if (offset < memory_.size()) {
    const std::size_t take = std::min(n, memory_.size() - offset);
    out.append(memory_, offset, take);
    offset += take;
    n -= take;
  }
  std::size_t at = offset - memory_.size();
  while (n > 0 && spill_) {
    char buffer[65536];
    const ssize_t r = ::pread(spill_.get(), buffer, std::min(n, sizeof buffer), static_cast<off_t>(at));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    out.append(buffer, static_cast<std::size_t>(r));
    at += static_cast<std::size_t>(r);
    n -= static_cast<std::size_t>(r);
  }
  return out;
}

Status CapturedStream::forEachPiece(const std::function<Status(std::string_view)>& piece) const {
  std::string spilled;
  for (std::size_t at = 0; at < size_; at += kMemoryBytes) {
    std::string_view view;
    if (at < memory_.size()) {
      view = std::string_view(memory_).substr(at, kMemoryBytes);
    } else {
      spilled = read(at, kMemoryBytes);
      view = spilled;
    }
    if (Status s = piece(view); !s.ok()) return s;
  }
  return Ok{};
}

}  // namespace zeb
