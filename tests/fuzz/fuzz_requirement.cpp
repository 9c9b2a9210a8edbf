// The requirement language.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/codesign/Requirement.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<zeb::codesign::Requirement> r;
  const auto status = zeb::codesign::Requirement::compile(std::string_view(reinterpret_cast<const char*>(data), size), r);
  if ((status == zeb::codesign::errSecSuccess) != static_cast<bool>(r)) __builtin_trap();
  if (r) (void)r->isSatisfiedBy({"com.orvel.tessel.VellumDrift", "orvel"});
  return 0;
}
