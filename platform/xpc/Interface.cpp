#include "platform/xpc/Interface.h"

#include "platform/xpc/XpcErrors.h"

namespace zeb::xpc {
namespace {

bool matches(const Value& v, ArgType type) {
  switch (type) {
    case ArgType::kString: return v.asString() != nullptr;
    case ArgType::kURL: return v.asURL() != nullptr;
    case ArgType::kUInt64: return v.asUInt() != nullptr;
    case ArgType::kStringDictionary: {
      const Dictionary* d = v.asDictionary();
      if (!d || d->size() > kMaxStringDictionaryEntries) return false;
      for (const auto& [k, e] : *d)
        if (!e.asString()) return false;
      return true;
    }
    case ArgType::kOptionalDictionary: return v.isNil() || v.asDictionary() != nullptr;
    case ArgType::kOptionalError: return v.isNil() || v.asError() != nullptr;
  }
  return false;
}

Error invalid(std::string text) { return xpcError(kXpcInvalidArguments, std::move(text)); }

}  // namespace

void Interface::add(std::string selector, std::vector<ArgType> types, Handler handler) {
  std::string key = selector;
  methods_.insert_or_assign(std::move(key), Method{std::move(selector), std::move(types), std::move(handler)});
}

const Interface::Method* Interface::find(std::string_view selector) const {
  auto it = methods_.find(selector);
  return it == methods_.end() ? nullptr : &it->second;
}

Result<const Interface::Method*> Interface::validate(const Message& message) const {
  const Method* m = find(message.selector);
  if (!m) return invalid("unknown selector for " + name_);
  if (message.arguments.size() != m->types.size()) return invalid("wrong number of arguments for " + m->selector);
  for (std::size_t i = 0; i < m->types.size(); ++i)
    if (!matches(message.arguments[i], m->types[i]))
      return invalid("argument " + std::to_string(i + 1) + " of " + m->selector + " has the wrong type");
  return m;
}

}  // namespace zeb::xpc
