#include "helper/files/PathPolicy.h"

#include <syslog.h>

#include <array>
#include <cstdlib>
#include <vector>

#include "platform/foundation/Log.h"

namespace zeb::files {

namespace {

// Tested in this order; each ends with a slash so the bare directory is not covered.
constexpr std::array<std::string_view, 3> kAllowedPrefixes = {"/var/folders/", "/private/var/", "/tmp/"};

// The text the policy judges: "." and ".." components collapsed, nothing else. Repeated slashes and
// a trailing slash stay, so "//tmp/x" is not "/tmp/x" and "/tmp/" is not "/tmp".
std::string policyPath(std::string_view path) {
  std::vector<std::string_view> kept;
  std::size_t pos = 1;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(pos, end - pos);
    pos = end + 1;
    if (component == ".") continue;
    if (component == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(component);
  }
  std::string out = "/";
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out.push_back('/');
    out.append(kept[i]);
  }
  return out;
}

}  // namespace

std::string lexicallyNormalPath(std::string_view path) {
  if (path.empty()) return {};
  const bool absolute = path.front() == '/';
  std::vector<std::string_view> kept;
  std::size_t leadingUps = 0;  // ".." a relative path keeps above its start
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!kept.empty()) {
        kept.pop_back();
      } else if (!absolute) {
        ++leadingUps;
      }
      continue;
    }
    kept.push_back(component);
  }
  std::string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < leadingUps; ++i) out += i == 0 ? ".." : "/..";
  for (std::string_view component : kept) {
    if (absolute || !out.empty()) out.push_back('/');
    out.append(component);
  }
  if (out.empty()) out = absolute ? "/" : ".";
  return out;
}

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
  const std::string normal = policyPath(path);
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
  return Error::withDescription(std::string(kDaemonErrorDomain), kAccessDeniedErrorCode,
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
