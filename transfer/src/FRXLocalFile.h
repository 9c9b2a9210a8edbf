// The local side of a transfer: the file an upload reads, and the file a download writes whole or
// not at all (a temporary file beside the destination, renamed into place at the end).
#pragma once

#include <Ferrix/FRXError.h>
#include "FRXHandles.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace frx {

struct LocalAttributes {
  std::uint64_t size = 0;
  mode_t permissions = 0;  // the POSIX permission bits, without the file type
  bool regular = false;
};

// The attributes of a local file (links followed), or the Cocoa error describing why not.
std::variant<LocalAttributes, FRXError> localAttributes(std::string_view path);

// Reads `size` bytes at `offset` unless the end comes first: the bytes read, or -1 (errno set).
long readFullyAt(int fd, char* buffer, std::size_t size, std::uint64_t offset);
// Writes all `size` bytes at `offset`: 0, or the errno of the failure.
int writeFullyAt(int fd, const char* data, std::size_t size, std::uint64_t offset);

class LocalSource {
public:
  // 0, or the errno of the failed open.
  [[nodiscard]] int open(std::string_view path);
  // Fills `buffer` unless the end of the file comes first: the bytes read, 0 at the end, -1 on error.
  [[nodiscard]] long readChunk(char* buffer, std::size_t size);
  // 0, or the errno of the failed seek.
  [[nodiscard]] int seek(std::uint64_t offset);
  void close() { fd_.reset(); }
  // For reads at offsets (pread) from several threads at once.
  [[nodiscard]] int descriptor() const { return fd_.get(); }

private:
  FRXUniqueFd fd_;
};

class LocalDestination {
public:
  LocalDestination() = default;
  LocalDestination(const LocalDestination&) = delete;
  LocalDestination& operator=(const LocalDestination&) = delete;
  // Removes the temporary file unless commit succeeded, and a file that openForAppending created
  // when nothing was written to it.
  ~LocalDestination();

  // Whether `path` may be replaced: it is missing, or a regular file with write permission (whose
  // mode the replacement will keep). 0, or the errno that tells why not.
  [[nodiscard]] int checkReplaceable(std::string_view path);
  // Creates the temporary file beside `path`; 0, or the errno of the failure.
  [[nodiscard]] int create(std::string_view path);
  // Opens `path` itself (created when missing) to append to it; its current size goes to `size`.
  // Nothing is removed or renamed afterwards. 0, or the errno of the failure.
  [[nodiscard]] int openForAppending(std::string_view path, std::uint64_t& size);
  [[nodiscard]] bool isOpen() const { return static_cast<bool>(fd_); }
  // 0, or the errno of the failed write.
  [[nodiscard]] int write(const char* data, std::size_t size);
  // For writes at offsets (pwrite) from several threads at once; none counts as written until
  // keepPrefix says how much is whole.
  [[nodiscard]] int descriptor() const { return fd_.get(); }
  // Cuts the file to its first `size` bytes, the part known to be whole; 0, or the errno.
  [[nodiscard]] int keepPrefix(std::uint64_t size);
  // Gives the file the mode a new file would get, closes it and renames it onto the destination;
  // 0, or the errno of the failed step.
  [[nodiscard]] int commit();

private:
  FRXUniqueFd fd_;
  std::string path_;
  std::string temporaryPath_;
  std::optional<mode_t> keptMode_;  // the mode of the file being replaced
  bool appending_ = false;
  bool createdEmpty_ = false;  // made by openForAppending, nothing written yet
};

}  // namespace frx
