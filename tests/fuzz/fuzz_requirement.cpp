// The requirement language.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/codesign/Requirement.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto r = zeb::codesign::Requirement::compile(std::string_view(reinterpret_cast<const char*>(data), size));
  if (r.ok() ? !*r : zeb::codesign::statusOf(r.error()) != zeb::codesign::errSecCSReqInvalid) __builtin_trap();
  if (r.ok()) (void)(*r)->isSatisfiedBy({"com.orvel.tessel.VellumDrift", "orvel"});
  return 0;
}
