// Shared pieces of the placement tests: a scratch tree under /tmp, a client that is an ordinary
// user acting in a child process, the system log read back from standard error, a small tmpfs.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "platform/foundation/UniqueFd.h"

namespace zeb::files {

// The client, and a third user who is neither root nor the client.
inline constexpr uid_t kClientUid = 65534;
inline constexpr gid_t kClientGid = 65534;
inline constexpr uid_t kOtherUid = 4242;

#define SKIP_UNLESS_ROOT()                                                                         \
  do {                                                                                             \
    if (::geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: needs root to act as daemon and client"; \
  } while (0)

// A fresh directory below /tmp (mode 0755, root's), removed with everything inside at the end.
class ScratchTree {
 public:
  ScratchTree();
  ~ScratchTree();
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(std::string_view relative) const { return root_ + "/" + std::string(relative); }

  // Each returns the absolute path and fails the test on error. `owner` is applied with lchown.
  std::string makeDir(std::string_view relative, uid_t owner = 0, mode_t mode = 0755) const;
  std::string makeFile(std::string_view relative, std::string_view contents, uid_t owner = 0, mode_t mode = 0644) const;
  std::string makeLink(std::string_view relative, std::string_view target, uid_t owner = 0) const;

 private:
  std::string root_;
};

// The item at `path` pinned as the daemon pins a source it copies: O_PATH, a root-owned link at its
// end followed. Fails the test when there is nothing to pin.
UniqueFd pinnedItem(const std::string& path);

// Runs `action` in a child process that has become the user `uid` (group `gid`, no supplementary
// groups). True when it returned true.
bool asUser(uid_t uid, gid_t gid, const std::function<bool()>& action);
inline bool asClient(const std::function<bool()>& action) { return asUser(kClientUid, kClientGid, action); }

// The system log lines written while it lives (the log is echoed to standard error, captured here).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string text() const;

 private:
  int savedStderr_ = -1;
  int file_ = -1;
};

// A tmpfs of `bytes` mounted on a new directory; `mounted()` is false where mounting is not allowed.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& where, std::size_t bytes);
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string where_;
  bool mounted_ = false;
};

// Reads a whole file, or "<missing>".
std::string readFile(const std::string& path);

struct Owner {
  uid_t uid;
  gid_t gid;
};
// lstat's owner, or {-1, -1}.
Owner ownerOf(const std::string& path);

}  // namespace zeb::files
