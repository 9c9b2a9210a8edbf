#include "FRXLocalFile.h"

#include "FRXInternal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace frx {
namespace {

// The process's umask without changing it (reading it with umask() would race other threads).
mode_t currentUmask() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  mode_t mask = 022;
  if (status == nullptr) return mask;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "Umask:", 6) == 0) {
      mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
      break;
    }
  }
  std::fclose(status);
  return mask;
}

}  // namespace

std::variant<LocalAttributes, FRXError> localAttributes(std::string_view path) {
  struct stat st {};
  if (::stat(std::string(path).c_str(), &st) != 0) return localReadError(path, errno);
  return LocalAttributes{static_cast<std::uint64_t>(st.st_size), static_cast<mode_t>(st.st_mode & 07777),
                         S_ISREG(st.st_mode)};
}

int LocalSource::open(std::string_view path) {
  int fd = ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  fd_.reset(fd);
  return 0;
}

int LocalSource::seek(std::uint64_t offset) {
  return ::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
}

long LocalSource::readChunk(char* buffer, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    ssize_t n = ::read(fd_.get(), buffer + filled, size - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  return static_cast<long>(filled);
}

long readFullyAt(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t n = ::pread(fd, buffer + filled, size - filled, static_cast<off_t>(offset + filled));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  return static_cast<long>(filled);
}

int writeFullyAt(int fd, const char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    data += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

LocalDestination::~LocalDestination() {
  if (!temporaryPath_.empty()) {
    fd_.reset();
    ::unlink(temporaryPath_.c_str());
  }
  // A resumed download that made its file and never got a byte leaves nothing behind either.
  if (createdEmpty_) {
    fd_.reset();
    ::unlink(path_.c_str());
  }
}

int LocalDestination::checkReplaceable(std::string_view path) {
  struct stat st {};
  const std::string target(path);
  if (::stat(target.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  // No write bit at all means "keep this file", even for root, whom access() would let through.
  if ((st.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) return EACCES;
  keptMode_ = static_cast<mode_t>(st.st_mode & 07777);
  return 0;
}

int LocalDestination::openForAppending(std::string_view path, std::uint64_t& size) {
  path_ = path;
  appending_ = true;
  int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    createdEmpty_ = fd >= 0;
  }
  if (fd < 0) return errno;
  fd_.reset(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  if (::lseek(fd, 0, SEEK_END) < 0) return errno;
  size = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

int LocalDestination::create(std::string_view path) {
  path_ = path;
  std::string directory = deletingLastPathComponent(path);
  std::string name = lastPathComponent(path);
  std::string pattern = (directory.empty() ? "" : (directory == "/" ? "/" : directory + "/")) + "." + name +
                        ".ferrix-XXXXXX";
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  fd_.reset(fd);
  temporaryPath_ = pattern;
  return 0;
}

int LocalDestination::write(const char* data, std::size_t size) {
  if (size > 0) createdEmpty_ = false;
  while (size > 0) {
    ssize_t n = ::write(fd_.get(), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

int LocalDestination::keepPrefix(std::uint64_t size) {
  if (size > 0) createdEmpty_ = false;
  return ::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0 ? errno : 0;
}

int LocalDestination::commit() {
  if (appending_) {
    createdEmpty_ = false;
    return fd_.reset();
  }
  const mode_t mode = keptMode_ ? *keptMode_ : (0666 & ~currentUmask());
  if (::fchmod(fd_.get(), mode) != 0) return errno;
  if (int closeError = fd_.reset(); closeError != 0) return closeError;
  if (::rename(temporaryPath_.c_str(), path_.c_str()) != 0) return errno;
  temporaryPath_.clear();
  return 0;
}

}  // namespace frx
