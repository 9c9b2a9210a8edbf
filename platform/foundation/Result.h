// A value or an error: the return type of our own layers' fallible calls.
#pragma once

#include <cassert>
#include <utility>
#include <variant>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace zeb {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : storage_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return storage_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(storage_); }
  const T& value() const& { assert(ok()); return std::get<0>(storage_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(storage_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const { assert(!ok()); return std::get<1>(storage_); }
  Error takeError() && { assert(!ok()); return std::get<1>(std::move(storage_)); }

 private:
  std::variant<T, Error> storage_;
};

// Success without a value.
struct Ok {};
using Status = Result<Ok>;

}  // namespace zeb
