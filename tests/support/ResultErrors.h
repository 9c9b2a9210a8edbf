// A failed result's error as an optional, so a test asserts on a failure the way it reads.
#pragma once

#include <optional>

#include "platform/foundation/Result.h"

namespace zeb::test {

template <typename T>
std::optional<Error> errorOf(const Result<T>& result) {
  if (result.ok()) return std::nullopt;
  return result.error();
}

}  // namespace zeb::test
