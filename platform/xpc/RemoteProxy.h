// The peer's exported object as seen from here: each call becomes one message on the connection,
// and a message that can't be delivered calls the proxy's error handler.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/xpc/Connection.h"

namespace zeb::xpc {

class RemoteProxy {
 public:
  using ErrorHandler = std::function<void(const Error&)>;

  RemoteProxy(std::shared_ptr<Connection> connection, ErrorHandler errorHandler)
      : connection_(std::move(connection)), errorHandler_(std::move(errorHandler)) {}

  void send(std::string_view selector, const Array& arguments) const {
    if (auto s = connection_->send(selector, arguments); !s.ok() && errorHandler_) errorHandler_(s.error());
  }

  const std::shared_ptr<Connection>& connection() const { return connection_; }
  // A proxy reads as its connection.
  std::string description() const { return connection_->description(); }

 private:
  std::shared_ptr<Connection> connection_;
  ErrorHandler errorHandler_;
};

}  // namespace zeb::xpc
