// The client side of the service: connects to the daemon's socket, answers its challenge, exports
// a ZEBPrivilegedClientProtocol implementation for the callbacks and gives a proxy for requests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "protocol/ZEBPrivilegedProtocols.h"
#include "platform/foundation/Result.h"
#include "platform/xpc/Connection.h"

class ZEBClientConnection {
 public:
  static constexpr const char* kDefaultSocketPath = "/run/com.orvel.tessel.zeb.privileged.sock";

  // `callbacks` must outlive the connection (or be kept alive by `keepAlive`, which the
  // connection's thread holds as long as it runs); its methods and `onClose` run on that thread.
  static zeb::Result<std::unique_ptr<ZEBClientConnection>> connect(
      const std::string& socketPath, ZEBPrivilegedClientProtocol& callbacks,
      std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(10), std::shared_ptr<void> keepAlive = {},
      std::function<void()> onClose = {});

  ZEBPrivilegedDaemonProtocol& daemon() { return *daemon_; }

  // Blocks until the daemon closes the connection or the time is up; true when it closed.
  bool waitUntilClosed(std::chrono::milliseconds timeout);
  // The first failed send, if any.
  std::optional<zeb::Error> sendError() const;
  const std::shared_ptr<zeb::xpc::Connection>& connection() const { return connection_; }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool closed = false;
    std::optional<zeb::Error> sendError;
  };

  ZEBClientConnection() = default;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::shared_ptr<zeb::xpc::Connection> connection_;
  std::shared_ptr<zeb::xpc::Interface> interface_;
  std::unique_ptr<ZEBPrivilegedDaemonProxy> daemon_;
};
