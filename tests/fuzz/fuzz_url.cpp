// File URLs and their paths.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/foundation/URL.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto url = zeb::URL::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!url) return 0;
  const std::string& path = url->path();
  if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) __builtin_trap();
  if (path.size() > 1 && path.back() == '/') __builtin_trap();
  // Building a URL from the path gives the same path back.
  auto again = zeb::URL::parse(zeb::URL::fileURLWithPath(path).absoluteString());
  if (!again || again->path() != path) __builtin_trap();
  return 0;
}
