// Our reader of property lists from tools and files (size-capped in front of libplist).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/foundation/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto v = zeb::parsePropertyList(std::string_view(reinterpret_cast<const char*>(data), size), 1 << 20);
  if (v.ok()) (void)zeb::toXMLPropertyList(*v);
  return 0;
}
