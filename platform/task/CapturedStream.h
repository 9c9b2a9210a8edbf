// What a tool wrote on one of its output streams. The first kMemoryBytes stay in memory; the rest
// goes to an unlinked temporary file only root can read, so a tool that prints hundreds of
// megabytes costs disk, not the daemon's memory. At most kMaxBytes are kept; the rest is dropped.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb {

class CapturedStream {
 public:
  static constexpr std::size_t kMemoryBytes = 1024 * 1024;
  static constexpr std::size_t kMaxBytes = 256u * 1024 * 1024;

  CapturedStream() = default;
  CapturedStream(CapturedStream&&) = default;
  CapturedStream& operator=(CapturedStream&&) = default;

  void append(std::string_view bytes);
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Bytes [offset, offset + n), as many as there are.
  std::string read(std::size_t offset, std::size_t n) const;
  std::string head(std::size_t n) const { return read(0, n); }
  std::string tail(std::size_t n) const { return read(size_ > n ? size_ - n : 0, n); }
  // Everything at once: for output known to be small.
  std::string all() const { return read(0, size_); }
  // Hands everything over in pieces of at most kMemoryBytes, in order; stops at the first failure.
  Status forEachPiece(const std::function<Status(std::string_view)>& piece) const;

 private:
  std::string memory_;
  UniqueFd spill_;
  std::size_t size_ = 0;
  bool spillFailed_ = false;
};

}  // namespace zeb
