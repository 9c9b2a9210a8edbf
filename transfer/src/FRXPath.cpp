#include "FRXInternal.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace frx {
namespace {

std::optional<std::string> homeDirectory(std::string_view user) {
  if (user.empty()) {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return std::string(home);
  }
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  int rc = user.empty() ? getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)
                        : getpwnam_r(std::string(user).c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return std::nullopt;
  return std::string(found->pw_dir);
}

std::string joinComponents(const std::vector<std::string>& components, bool absolute) {
  std::string out = absolute ? "/" : "";
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) out += '/';
    out += components[i];
  }
  return out;
}

std::vector<std::string> splitComponents(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) parts.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

}  // namespace

std::string standardizingPath(std::string_view path) {
  std::string expanded(path);
  if (!expanded.empty() && expanded[0] == '~') {
    std::size_t slash = expanded.find('/');
    std::string_view user = std::string_view(expanded).substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    if (auto home = homeDirectory(user)) {
      expanded = *home + (slash == std::string::npos ? "" : expanded.substr(slash));
    }
  }
  const bool absolute = !expanded.empty() && expanded[0] == '/';
  std::vector<std::string> kept;
  for (std::string& part : splitComponents(expanded)) {
    if (part == ".") continue;
    if (part == ".." && absolute) {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(std::move(part));
  }
  if (kept.empty()) return absolute ? "/" : (expanded.empty() ? "" : ".");
  return joinComponents(kept, absolute);
}

std::vector<std::string> pathComponents(std::string_view path) {
  std::vector<std::string> components;
  if (!path.empty() && path[0] == '/') components.emplace_back("/");
  for (std::string& part : splitComponents(path)) components.push_back(std::move(part));
  return components;
}

std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string deletingLastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return parent.empty() ? "/" : std::string(parent);
}

}  // namespace frx
