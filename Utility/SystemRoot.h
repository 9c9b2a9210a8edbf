// The system root: every fixed path that names part of the operating system (its tools, its version
// file, its log directories) is resolved under one relocatable root, "/" unless the daemon is
// started with --root. Paths of our own dependencies (/usr/bin/zip), /tmp and client-named paths are
// never relocated.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Result.h"

namespace zeb {

class SystemRoot {
 public:
  // Sets the root for the whole process. A relative directory is taken against the current
  // directory; an empty one is refused. Meant to be called once, before any request is served.
  [[nodiscard]] static Status set(std::string_view directory);

  // The current root, without a trailing slash except for "/".
  static std::string get();

  // An absolute operating-system path below the root: with root "/srv/root",
  // "/usr/sbin/system_profiler" becomes "/srv/root/usr/sbin/system_profiler".
  static std::string resolve(std::string_view absolutePath);
};

}  // namespace zeb
