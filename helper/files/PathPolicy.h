// Which client-named places the daemon may write into: three system prefixes and the client
// application's own per-user cache folder. A test of the path text only; no file-system call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/filesystem/PathText.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Regex.h"
#include "protocol/ZEBErrors.h"

namespace zeb::files {


// Unanchored, case-insensitive, dots unescaped on purpose: any character may stand between the words.
inline constexpr std::string_view kDestinationPattern = "Library/Caches/com.orvel.tessel.Vellum.?Drift(Lite)?/";

// Longer paths are refused outright; the kernel would refuse them too (PATH_MAX with its NUL).
inline constexpr std::size_t kMaxPolicyPathLength = 4095;

class PathPolicy {
 public:
  // The pattern is a parameter so that a failing compilation can be exercised.
  explicit PathPolicy(std::string pattern = std::string(kDestinationPattern));

  // Yes when the place may be modified. The path is normalised first, so a path that climbs out of
  // an admitted area through ".." is refused; a relative path, a NUL byte or an overlong path is
  // refused. The pattern is compiled at the first call that succeeds in compiling it; while it
  // cannot be compiled every path is refused and each call logs the failure and tries again.
  bool canModifyPath(std::string_view path);

 private:
  std::optional<Regex> compiledPattern();

  std::string pattern_;
  std::mutex mutex_;
  std::optional<Regex> compiled_;
};

// The process-wide policy, its pattern compiled once for all callers.
bool canModifyPath(std::string_view path);

// The error a collector answers with when the policy refuses its destination:
// "com.orvel.tessel.zeb.privileged", code 2, "Can't modify path: <path>".
Error accessDeniedErrorForPath(std::string_view path);

// A libFuzzer-style entry: normalises the bytes as a path, checks what normalisation promises
// (idempotent, no "."/".."/empty component left in an absolute result, never longer than the input,
// absolute stays absolute) and aborts when a promise is broken. Returns 0.
int fuzzLexicallyNormalPath(const std::uint8_t* data, std::size_t size);

}  // namespace zeb::files
