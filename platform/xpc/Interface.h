// An interface as a table: selector, argument types, handler. One place checks that a message names
// a selector of the table and that its arguments have the declared types; handlers still check their
// values.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"
#include "protocol/ValueCodec.h"

namespace zeb::xpc {

enum class ArgType {
  kString,
  kURL,
  kUInt64,
  kStringDictionary,     // dictionary of string to string
  kOptionalDictionary,   // result dictionary or nil
  kOptionalError,        // error or nil
};

class Connection;

// The most entries a string dictionary argument may hold.
inline constexpr std::size_t kMaxStringDictionaryEntries = 1024;

class Interface {
 public:
  // Gets the connection the message came on: a handler learns its sender from its arguments only.
  using Handler = std::function<void(const std::shared_ptr<Connection>& sender, const Array& arguments)>;
  struct Method {
    std::string selector;
    std::vector<ArgType> types;
    Handler handler;
  };

  explicit Interface(std::string name) : name_(std::move(name)) {}

  void add(std::string selector, std::vector<ArgType> types, Handler handler);

  const std::string& name() const { return name_; }
  const Method* find(std::string_view selector) const;
  // The method a message calls, once its arguments are of the declared types.
  Result<const Method*> validate(const Message& message) const;

 private:
  std::string name_;
  std::map<std::string, Method, std::less<>> methods_;
};

}  // namespace zeb::xpc
