// The path policy with its normalisation.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "helper/files/PathPolicy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zeb::files::fuzzLexicallyNormalPath(data, size);
  (void)zeb::files::canModifyPath(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
