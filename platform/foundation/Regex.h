// Regular expressions in ICU's syntax, the engine and dialect the client platform uses.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace zeb {

class Regex {
 public:
  // Compiles a pattern; the error reads as the platform's regular-expression error.
  static Result<Regex> compile(std::string_view pattern, bool caseInsensitive);

  // Non-overlapping matches over the whole text. Text that is not valid UTF-8 is matched with
  // each bad byte replaced by U+FFFD.
  std::size_t numberOfMatches(std::string_view text) const;

  const std::string& pattern() const;

 private:
  struct Impl;
  explicit Regex(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const Impl> impl_;
};

}  // namespace zeb
