// The admitted connections, by user: answers go to the latest admitted connection of the
// requester's uid that is still open, never to a connection of another uid.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <vector>

#include "protocol/ZEBPrivilegedProtocols.h"
#include "platform/xpc/Connection.h"

class ZEBClients {
 public:
  // Records a newly admitted connection and the proxy of its client; closed ones are forgotten.
  void admit(std::shared_ptr<zeb::xpc::Connection> connection, std::shared_ptr<ZEBPrivilegedClientProxy> proxy);

  // The proxy of the latest admitted connection of `uid` that is still open, or null.
  std::shared_ptr<ZEBPrivilegedClientProxy> latestOpenOf(uid_t uid) const;

  // Whether any admitted connection is still open, and whether one of a uid other than `uid` is.
  bool anyOpen() const;
  bool anyOpenOfOthersThan(uid_t uid) const;

 private:
  struct Admitted {
    uid_t uid;
    std::shared_ptr<zeb::xpc::Connection> connection;
    std::shared_ptr<ZEBPrivilegedClientProxy> proxy;
  };
  // Oldest first.
  mutable std::mutex mutex_;
  mutable std::vector<Admitted> admitted_;

  // Moves the closed connections out (to be released once the lock is left).
  std::vector<Admitted> takeClosed() const;
};
