#include "helper/logs/LogSources.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "Utility/SystemRoot.h"
#include "helper/files/PathPolicy.h"
#include "helper/files/PathWalk.h"

namespace zeb::files {

namespace {

bool isBelow(std::string_view path, std::string_view directory) {
  if (directory == "/") return path.size() > 1 && path.front() == '/';
  return path.size() > directory.size() + 1 && path.substr(0, directory.size()) == directory &&
         path[directory.size()] == '/';
}

// Where the kernel says the opened item is, every link resolved.
std::optional<std::string> pathOfDescriptor(int fd) {
  char buffer[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer || buffer[0] != '/') return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace

std::optional<std::string> logFilePath(std::string_view source) {
  if (source.empty() || source.front() != '/' || source.size() > kMaxPathLength ||
      source.find('\0') != std::string_view::npos)
    return std::nullopt;
  const std::string normal = lexicallyNormalPath(source);
  for (std::string_view directory : kLogDirectories) {
    if (isBelow(normal, directory)) {
      return SystemRoot::resolve(directory) + normal.substr(directory.size());
    }
  }
  return std::nullopt;
}

std::optional<std::string> resolvedLogDirectory(std::string_view directory) {
  const std::string relocated = SystemRoot::resolve(directory);
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(relocated.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

LogSource openLogSource(std::string_view source) {
  LogSource result;
  const std::optional<std::string> path = logFilePath(source);
  if (!path) return result;

  UniqueFd fd(::open(path->c_str(), O_PATH | O_CLOEXEC));
  if (!fd) {
    result.verdict = LogSourceVerdict::kMissing;
    return result;
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    result.verdict = LogSourceVerdict::kMissing;
    return result;
  }
  if (S_ISREG(status.st_mode) && status.st_nlink > 1) return result;

  const std::optional<std::string> reached = pathOfDescriptor(fd.get());
  if (!reached) return result;
  for (std::string_view directory : kLogDirectories) {
    const std::optional<std::string> resolved = resolvedLogDirectory(directory);
    if (resolved && isBelow(*reached, *resolved)) {
      result.verdict = LogSourceVerdict::kInside;
      result.fd = std::move(fd);
      return result;
    }
  }
  return result;
}

}  // namespace zeb::files
