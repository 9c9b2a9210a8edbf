// The appended signature block.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/codesign/SignatureBlock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::string_view tail = all.substr(all.size() - std::min(all.size(), zeb::codesign::kMaxBlockBytes));
  auto located = zeb::codesign::parseSignatureBlock(tail, all.size());
  if (located) {
    if (located->contentSize > all.size()) __builtin_trap();
    // A parsed block serialises back to the bytes it came from.
    if (zeb::codesign::serializeSignatureBlock(located->block) != all.substr(located->contentSize)) __builtin_trap();
  }
  return 0;
}
