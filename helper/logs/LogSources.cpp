#include "helper/logs/LogSources.h"

#include <sys/stat.h>

#include "Utility/SystemRoot.h"
#include "platform/filesystem/PathWalk.h"

namespace zeb::files {

namespace {

bool isBelow(std::string_view path, std::string_view directory) {
  if (directory == "/") return path.size() > 1 && path.front() == '/';
  return path.size() > directory.size() + 1 && path.substr(0, directory.size()) == directory &&
         path[directory.size()] == '/';
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
  Result<WalkedItem> walked =
      walkPath(SystemRoot::resolve(directory), FinalLink::kFollow, FileOperation::kRead, LinkOwners::kAnyone);
  if (!walked) return std::nullopt;
  return std::move(walked->resolvedPath);
}

LogSource openLogSource(std::string_view source) {
  LogSource result;
  const std::optional<std::string> path = logFilePath(source);
  if (!path) return result;

  // Anyone's links are followed: what counts is where the walk ends, with every link resolved.
  Result<WalkedItem> walked = walkPath(*path, FinalLink::kFollow, FileOperation::kRead, LinkOwners::kAnyone);
  if (!walked) {
    result.verdict = LogSourceVerdict::kMissing;
    return result;
  }
  if (S_ISREG(walked->status.st_mode) && walked->status.st_nlink > 1) return result;
  for (std::string_view directory : kLogDirectories) {
    const std::optional<std::string> resolved = resolvedLogDirectory(directory);
    if (resolved && isBelow(walked->resolvedPath, *resolved)) {
      result.verdict = LogSourceVerdict::kInside;
      result.fd = std::move(walked->fd);
      return result;
    }
  }
  return result;
}

}  // namespace zeb::files
