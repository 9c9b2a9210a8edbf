#include "client/ZEBClientConnection.h"

zeb::Result<std::unique_ptr<ZEBClientConnection>> ZEBClientConnection::connect(const std::string& socketPath,
                                                                                ZEBPrivilegedClientProtocol& callbacks,
                                                                                std::chrono::milliseconds handshakeTimeout,
                                                                                std::shared_ptr<void> keepAlive,
                                                                                std::function<void()> onClose) {
  auto conn = zeb::xpc::Connection::connect(socketPath, zeb::xpc::ConnectionOptions{}, handshakeTimeout);
  if (!conn.ok()) return conn.error();
  std::unique_ptr<ZEBClientConnection> self(new ZEBClientConnection());
  self->connection_ = std::move(*conn);
  self->interface_ = makeClientInterface(callbacks);
  self->connection_->setExportedInterface(self->interface_);
  std::weak_ptr<State> weak = self->state_;
  self->connection_->setCloseHandler([weak, onClose = std::move(onClose)](const std::string&) {
    if (auto s = weak.lock()) {
      std::lock_guard lock(s->mutex);
      s->closed = true;
      s->cv.notify_all();
    }
    if (onClose) onClose();
  });
  if (keepAlive) self->connection_->holdWhileRunning(std::move(keepAlive));
  self->daemon_ = std::make_unique<ZEBPrivilegedDaemonProxy>(zeb::xpc::RemoteProxy(self->connection_, [weak](const zeb::Error& e) {
    if (auto s = weak.lock()) {
      std::lock_guard lock(s->mutex);
      if (!s->sendError) s->sendError = e;
    }
  }));
  self->connection_->resume();
  return self;
}

bool ZEBClientConnection::waitUntilClosed(std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  return state_->cv.wait_for(lock, timeout, [&] { return state_->closed; });
}

std::optional<zeb::Error> ZEBClientConnection::sendError() const {
  std::lock_guard lock(state_->mutex);
  return state_->sendError;
}
