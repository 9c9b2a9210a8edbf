#include "platform/filesystem/PathText.h"

#include <vector>

namespace zeb::files {

std::string lexicallyNormalPath(std::string_view path, EmptyComponents empty) {
  if (path.empty()) return {};
  const bool absolute = path.front() == '/';
  const bool keepEmpty = empty == EmptyComponents::kKeep;
  std::vector<std::string_view> kept;
  std::size_t leadingUps = 0;  // ".." a relative path keeps above its start
  std::size_t pos = absolute && keepEmpty ? 1 : 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(pos, end - pos);
    pos = end + 1;
    if ((component.empty() && !keepEmpty) || component == ".") continue;
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
  for (std::size_t i = 0; i < leadingUps; ++i) {
    if (i > 0) out.push_back('/');
    out.append(2, '.');
  }
  for (std::string_view component : kept) {
    if (absolute || !out.empty()) out.push_back('/');
    out.append(component);
  }
  if (out.empty()) out.push_back(absolute ? '/' : '.');
  return out;
}

std::string_view lastComponent(std::string_view normalPath) {
  const std::size_t slash = normalPath.find_last_of('/');
  return slash == std::string_view::npos ? normalPath : normalPath.substr(slash + 1);
}

std::string joinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  if (out.empty() || out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

}  // namespace zeb::files
