#include <Ferrix/FRXLog.h>

#include "FRXInternal.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

std::atomic<int> logDescriptor{STDERR_FILENO};

}  // namespace

void FRXSetLogFileDescriptor(int fd) { logDescriptor.store(fd, std::memory_order_relaxed); }

namespace frx {

void logLine(std::string_view text) {
  const int fd = logDescriptor.load(std::memory_order_relaxed);
  if (fd < 0) return;
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char prefix[256];
  std::snprintf(prefix, sizeof prefix, "%s.%03ld %s[%d:%ld] ", stamp, static_cast<long>(tv.tv_usec / 1000),
                program_invocation_short_name, static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)));
  // One write, so lines of concurrent writers don't interleave.
  std::string line = prefix;
  line.append(text);
  line.push_back('\n');
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::optional<double> now() {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return std::nullopt;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace frx
