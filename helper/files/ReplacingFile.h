// A report file written by the daemon in place of whatever a client's file name holds: the file
// appears whole or not at all, and an existing item is replaced only when it is a regular file of
// the client's (any regular file for root).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "helper/files/ClientDirectory.h"
#include "platform/foundation/Result.h"

namespace zeb::files {

// What may stand at a file's name: nothing, or a regular file the client may replace.
struct ExistingItem {
  bool present = false;
  dev_t device = 0;
  ino_t inode = 0;
};

// Fails with the write error of `path` when something else stands at `name`.
Result<ExistingItem> replaceableItem(const ClientDirectory& directory, const std::string& name, const std::string& path,
                                     uid_t client);

// Writes the file under a temporary name with `write`, gives it to `client`, then puts it in place
// of `name`: with nothing there, never replacing what appears meanwhile; with a file there, by
// exchanging the two and keeping the exchange only when the old item is still a file the client
// may replace.
Status writeReplacingFile(const ClientDirectory& directory, const std::string& name, const std::string& path,
                          const std::function<Status(int fd)>& write, uid_t client, mode_t mode);

// Writes all of `text` to `fd`; errors name `path`.
Status writeAll(int fd, std::string_view text, const std::string& path);

}  // namespace zeb::files
