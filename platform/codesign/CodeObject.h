// Code objects: a running process's executable, pinned by pidfd and read through its /proc entry,
// or a file on disk; and the validity check of one against a requirement and the anchors.
//
// A running process is valid when its executable's signature verifies against the anchor it names
// and, standing in for the hardened runtime and library validation: nobody traces it; it lives in
// our user namespace; every file mapped executable into it other than the signed executable itself
// is owned by root and writable by nobody else; its environment asks the loader to inject nothing.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/codesign/Requirement.h"
#include "platform/codesign/SecStatus.h"
#include "platform/codesign/SignatureBlock.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb::codesign {

// The largest executable we hash.
inline constexpr std::uint64_t kMaxExecutableBytes = 1ull << 30;

class CodeObject {
 public:
  // The code of a running process. `pidfd` pins the process the caller means (from the socket's
  // peer credentials); errSecCSNoSuchCode when it has gone or its executable can't be opened.
  [[nodiscard]] static Result<std::unique_ptr<CodeObject>> forProcess(pid_t pid, int pidfd);
  // The code of an executable file (no process checks).
  [[nodiscard]] static Result<std::unique_ptr<CodeObject>> forFile(const std::string& path);

  // Valid and satisfying the requirement (null: validity alone), or the status (secError) with the
  // reason. Anchors are NAME.pub files in `anchorsDir`.
  [[nodiscard]] Status checkValidity(const Requirement* requirement, const std::string& anchorsDir) const;

  // The signature, when the executable has one (no verification).
  std::optional<SignatureBlock> signature() const;

 private:
  CodeObject() = default;
  [[nodiscard]] Status checkProcess() const;

  UniqueFd executable_;
  UniqueFd procDir_;  // invalid for files
  int pidfd_ = -1;
  pid_t pid_ = -1;
};

// Verified-content cache: executables whose SHA-512 was computed, by device, inode, size, mtime and
// ctime (ctime can't be set back by a user, so any change to the file misses the cache).
void clearDigestCache();

}  // namespace zeb::codesign
