// Code requirements in the subset of the platform's requirement language that admission needs:
//   identifier "x" (quotes optional) | anchor NAME | ! R | R and R | R or R | ( R )
// with ! binding tightest, then and, then or.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/codesign/SecStatus.h"
#include "platform/foundation/Result.h"

namespace zeb::codesign {

// What a requirement is checked against: a verified signature's identifier and anchor.
struct SigningInfo {
  std::string identifier;
  std::string anchor;
};

class Requirement {
 public:
  // Requirement texts longer than this are refused.
  static constexpr std::size_t kMaxTextBytes = 4096;
  static constexpr int kMaxDepth = 32;

  // A requirement, or errSecCSReqInvalid (secError).
  [[nodiscard]] static Result<std::unique_ptr<Requirement>> compile(std::string_view text);

  bool isSatisfiedBy(const SigningInfo& info) const;

  struct Node;
  explicit Requirement(std::unique_ptr<Node> root);
  ~Requirement();

 private:
  std::unique_ptr<Node> root_;
};

}  // namespace zeb::codesign
