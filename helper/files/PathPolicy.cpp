#include "helper/files/PathPolicy.h"

#include <syslog.h>

#include <array>
#include <cstdlib>

#include "platform/foundation/Log.h"

namespace zeb::files {

namespace {

// Tested in this order; each ends with a slash so the bare directory is not covered.
constexpr std::array<std::string_view, 3> kAllowedPrefixes = {"/var/folders/", "/private/var/", "/tmp/"};

}  // namespace

PathPolicy::PathPolicy(std::string pattern) : pattern_(std::move(pattern)) {}

std::optional<Regex> PathPolicy::compiledPattern() {
  // A lock rather than a once-flag: a failed compilation must leave the cache empty for a retry.
  std::lock_guard lock(mutex_);
  if (!compiled_) {
    Result<Regex> regex = Regex::compile(pattern_, /*caseInsensitive=*/true);
    if (!regex) {
      systemLog(LOG_ERR, "Error creating regex for canModifyURL: %s", regex.error().localizedDescription().c_str());
      return std::nullopt;
    }
    compiled_ = std::move(regex).value();
  }
  return compiled_;
}

bool PathPolicy::canModifyPath(std::string_view path) {
  const std::optional<Regex> regex = compiledPattern();
  if (!regex) return false;
  if (path.size() > kMaxPolicyPathLength || path.find('\0') != std::string_view::npos) return false;
  if (path.empty() || path.front() != '/') return false;
    // "." and ".." collapsed, nothing else: "//tmp/x" is not "/tmp/x", and "/tmp/" is not "/tmp".
  const std::string normal = lexicallyNormalPath(path, EmptyComponents::kKeep);
  for (std::string_view prefix : kAllowedPrefixes) {
    if (normal.starts_with(prefix)) return true;
  }
  return regex->numberOfMatches(normal) == 1;
}

bool canModifyPath(std::string_view path) {
  static PathPolicy policy;
  return policy.canModifyPath(path);
}

Error accessDeniedErrorForPath(std::string_view path) {
  return Error::withDescription(std::string(kZEBDaemonErrorDomain), kZEBAccessDeniedErrorCode,
                                "Can't modify path: " + std::string(path));
}

int fuzzLexicallyNormalPath(const std::uint8_t* data, std::size_t size) {
  const std::string_view path(reinterpret_cast<const char*>(data), size);
  const std::string normal = lexicallyNormalPath(path);
  const bool absolute = !path.empty() && path.front() == '/';
  if (normal.size() > path.size()) std::abort();
  if (absolute != (!normal.empty() && normal.front() == '/')) std::abort();
  if (lexicallyNormalPath(normal) != normal) std::abort();
  if (absolute) {
    if (normal != "/" && normal.back() == '/') std::abort();
    if (normal.find("//") != std::string::npos) std::abort();
    const std::string withSlash = normal + "/";
    if (withSlash.find("/./") != std::string::npos || withSlash.find("/../") != std::string::npos) std::abort();
  }
  return 0;
}

}  // namespace zeb::files
