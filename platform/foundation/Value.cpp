#include "platform/foundation/Value.h"

#include <limits>

namespace zeb {

std::optional<std::int64_t> Value::toInt64() const {
  if (auto* i = asInt()) return *i;
  if (auto* u = asUInt(); u && *u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return static_cast<std::int64_t>(*u);
  return std::nullopt;
}

std::optional<std::uint64_t> Value::toUInt64() const {
  if (auto* u = asUInt()) return *u;
  if (auto* i = asInt(); i && *i >= 0) return static_cast<std::uint64_t>(*i);
  return std::nullopt;
}

const Value* lookup(const Dictionary& dict, std::string_view key) {
  auto it = dict.find(key);
  return it == dict.end() ? nullptr : &it->second;
}

}  // namespace zeb
