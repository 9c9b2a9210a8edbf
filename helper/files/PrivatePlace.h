// Where root works on a request: a fresh folder of root's (0700) under a base folder that no user
// but root can write. A tool that writes a report into a folder gets one of these instead of the
// client's folder, so nothing on the paths root follows while the tool runs can be renamed,
// replaced or linked by a user. What the tool made is found here, given to the requester while it
// is still out of reach, and only then published into the client's folder.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb::files {

// The base folder's default; the daemon's --work-dir overrides it.
inline constexpr const char* kDefaultPrivateBase = "/var/lib/com.orvel.tessel.zeb.privileged/private";
// Names of private places in the base: the prefix, the daemon's pid, a random part.
inline constexpr std::string_view kPrivatePlacePrefix = "request.";

class PrivatePlace {
 public:
  // Opens (creating it and, with `createParents`, its missing parents, 0700) the base folder at
  // `path`: a real folder, owned by root and writable by no one else (or sticky). Places that an
  // earlier run left behind in it are removed. Until this succeeds no place can be made.
  static Status prepareBase(std::string_view path);

  // A new empty folder of root's, mode 0700, in the base.
  static Result<PrivatePlace> create();

  // Removes every place that still exists: for the daemon's own exits, which run no destructors.
  static void removeAll();

  PrivatePlace(PrivatePlace&& other) noexcept;
  PrivatePlace& operator=(PrivatePlace&&) = delete;
  PrivatePlace(const PrivatePlace&) = delete;
  PrivatePlace& operator=(const PrivatePlace&) = delete;
  // Removes the place and everything still in it.
  ~PrivatePlace();

  // O_RDONLY | O_DIRECTORY, close-on-exec. A tool that is to write here must inherit it.
  int fd() const { return fd_.get(); }
  // "/dev/fd/N" for that descriptor: a tool's argument, valid in a child that inherits it.
  std::string pinnedPath() const;
  // Where it is, for log lines (never used to reach it).
  const std::string& path() const { return path_; }

 private:
  PrivatePlace(UniqueFd fd, std::string name, std::string path);

  UniqueFd fd_;
  std::string name_;
  std::string path_;
};

}  // namespace zeb::files
