// The one value type for everything that crosses the service connection and for result
// dictionaries: nil, bool, signed and unsigned 64-bit integers, double, string, data, file URL,
// array, string-keyed dictionary and error.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

namespace zeb {

struct Nil {
  bool operator==(const Nil&) const = default;
};
using Data = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

class Value {
 public:
  using Storage = std::variant<Nil, bool, std::int64_t, std::uint64_t, double, std::string, Data, URL,
                               Array, Dictionary, Error>;
  enum class Kind { kNil, kBool, kInt, kUInt, kDouble, kString, kData, kURL, kArray, kDictionary, kError };

  Value() = default;
  Value(Nil) {}                                                  // NOLINT
  Value(bool b) : storage_(b) {}                                 // NOLINT
  Value(int i) : storage_(std::int64_t{i}) {}                    // NOLINT
  Value(std::int64_t i) : storage_(i) {}                         // NOLINT
  Value(std::uint64_t u) : storage_(u) {}                        // NOLINT
  Value(double d) : storage_(d) {}                               // NOLINT
  Value(std::string s) : storage_(std::move(s)) {}               // NOLINT
  Value(std::string_view s) : storage_(std::string(s)) {}        // NOLINT
  Value(const char* s) : storage_(std::string(s)) {}             // NOLINT
  Value(Data d) : storage_(std::move(d)) {}                      // NOLINT
  Value(URL u) : storage_(std::move(u)) {}                       // NOLINT
  Value(Array a) : storage_(std::move(a)) {}                     // NOLINT
  Value(Dictionary d) : storage_(std::move(d)) {}                // NOLINT
  Value(Error e) : storage_(std::move(e)) {}                     // NOLINT

  // An optional error or dictionary becomes nil when empty.
  template <typename T>
  static Value orNil(const std::optional<T>& v) { return v ? Value(*v) : Value(); }

  Kind kind() const { return static_cast<Kind>(storage_.index()); }
  bool isNil() const { return kind() == Kind::kNil; }

  const bool* asBool() const { return std::get_if<bool>(&storage_); }
  const std::int64_t* asInt() const { return std::get_if<std::int64_t>(&storage_); }
  const std::uint64_t* asUInt() const { return std::get_if<std::uint64_t>(&storage_); }
  const double* asDouble() const { return std::get_if<double>(&storage_); }
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const Data* asData() const { return std::get_if<Data>(&storage_); }
  const URL* asURL() const { return std::get_if<URL>(&storage_); }
  const Array* asArray() const { return std::get_if<Array>(&storage_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&storage_); }
  const Error* asError() const { return std::get_if<Error>(&storage_); }

  // Either integer kind, when it fits.
  std::optional<std::int64_t> toInt64() const;
  std::optional<std::uint64_t> toUInt64() const;

  const Storage& storage() const { return storage_; }
  bool operator==(const Value& other) const { return storage_ == other.storage_; }

 private:
  Storage storage_;
};

// The entry of a dictionary, or null.
const Value* lookup(const Dictionary& dict, std::string_view key);

}  // namespace zeb
