#include "Utility/SystemRoot.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>

namespace zeb {
namespace {

std::mutex gMutex;
std::string& rootStorage() {
  static std::string root = "/";
  return root;
}

}  // namespace

Status SystemRoot::set(std::string_view directory) {
  if (directory.empty()) return posixError(EINVAL, "empty system root");
  if (directory.find('\0') != std::string_view::npos) return posixError(EINVAL, "system root");
  std::string root(directory);
  if (root.front() != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return posixError(errno, "getcwd");
    root = std::string(cwd) + "/" + root;
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::lock_guard lock(gMutex);
  rootStorage() = std::move(root);
  return Ok{};
}

std::string SystemRoot::get() {
  std::lock_guard lock(gMutex);
  return rootStorage();
}

std::string SystemRoot::resolve(std::string_view absolutePath) {
  std::string root = get();
  if (root == "/") return std::string(absolutePath);
  if (absolutePath.empty() || absolutePath.front() != '/') root.push_back('/');
  root.append(absolutePath);
  return root;
}

}  // namespace zeb
