// Receives connections for a named service on a Unix stream socket: the socket handed over by the
// service manager (socket activation), or one we bind ourselves. Each new connection is put to the
// delegate on the listener's own thread; refused ones are closed at once.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <string>

#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/xpc/Connection.h"

namespace zeb::xpc {

class Listener;

class ListenerDelegate {
 public:
  virtual ~ListenerDelegate() = default;
  virtual bool shouldAcceptNewConnection(Listener& listener, const std::shared_ptr<Connection>& connection) = 0;
};

struct ListenerOptions {
  ConnectionOptions connection;
  // Connections open at once (admitted or waiting for admission); past it, new ones are dropped.
  int maxConnections = 64;
  // Connections one uid may hold open at once; another user is still served meanwhile.
  int maxConnectionsPerUser = 8;
  // Admissions of one uid under way at once: each runs on a thread of its own, so a slow one (a
  // large executable to hash) delays nobody else's.
  int maxAdmissionsPerUser = 2;
  // Identify peers by pidfd_open plus start time even where SO_PEERPIDFD exists.
  bool forcePidfdFallback = false;
  // The mode and group of a socket bound here (not of an activated one).
  mode_t socketMode = 0666;
  std::optional<gid_t> socketGroup;
};

class Listener {
 public:
  static constexpr int kDefaultMaxConnections = 64;

  // The activated socket when the service manager passed one, else `socketPath` bound here with
  // the options' mode and group (a stale socket file with no listener is replaced; a live one is an
  // error). A socket file bound here is removed when the process ends through flushAndExit or
  // runExitHook, unless another has taken its place by then.
  static Result<std::unique_ptr<Listener>> create(const std::string& socketPath, ListenerOptions options,
                                                  Connection::LogSink log);

  void setDelegate(ListenerDelegate* delegate) { delegate_ = delegate; }
  // Starts the listener's thread.
  void resume();
  const std::string& socketPath() const { return path_; }
  bool activated() const { return activated_; }
  int openConnections() const { return open_->load(); }

 private:
  Listener(UniqueFd fd, std::string path, bool activated, ListenerOptions options, Connection::LogSink log);
  void run();
  // Runs the delegate's admission on a thread of its own; the connection is dropped when refused.
  void admit(std::shared_ptr<Connection> connection, uid_t user);

  // What each uid holds: open connections and admissions under way.
  struct PerUser {
    std::mutex mutex;
    std::map<uid_t, int> open;
    std::map<uid_t, int> admitting;
  };

  UniqueFd fd_;
  std::string path_;
  bool activated_;
  ListenerOptions options_;
  Connection::LogSink log_;
  ListenerDelegate* delegate_ = nullptr;
  std::shared_ptr<std::atomic<int>> open_ = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<PerUser> perUser_ = std::make_shared<PerUser>();
};

}  // namespace zeb::xpc
