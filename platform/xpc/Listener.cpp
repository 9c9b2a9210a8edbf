#include "platform/xpc/Listener.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/foundation/Log.h"

namespace zeb::xpc {
namespace {

// The socket file this process bound, for the exit hook: plain storage, read from signal handlers.
char boundPath[sizeof(sockaddr_un::sun_path)];
dev_t boundDevice = 0;
ino_t boundInode = 0;

void removeBoundSocket() {
  struct stat st {};
  if (boundPath[0] && ::lstat(boundPath, &st) == 0 && st.st_dev == boundDevice && st.st_ino == boundInode)
    ::unlink(boundPath);
}

Result<UniqueFd> bindSocket(const std::string& path, const ListenerOptions& options) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return posixError(ENAMETOOLONG, path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return posixError(EEXIST, path + " exists and is not a socket");
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
      return posixError(EADDRINUSE, path + " is served by another process");
    ::unlink(path.c_str());
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return posixError(errno, "socket");
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return posixError(errno, "bind " + path);
  // The group first: until the mode is set nobody but root can connect.
  if (options.socketGroup && ::chown(path.c_str(), static_cast<uid_t>(-1), *options.socketGroup) != 0)
    return posixError(errno, "chown " + path);
  if (::chmod(path.c_str(), options.socketMode) != 0) return posixError(errno, "chmod " + path);
  if (::listen(fd.get(), 128) != 0) return posixError(errno, "listen");
  if (::lstat(path.c_str(), &st) == 0) {
    std::memcpy(boundPath, path.c_str(), path.size() + 1);
    boundDevice = st.st_dev;
    boundInode = st.st_ino;
    setExitHook(removeBoundSocket);
  }
  return fd;
}

}  // namespace

Result<std::unique_ptr<Listener>> Listener::create(const std::string& socketPath, ListenerOptions options,
                                                   Connection::LogSink log) {
  const int n = sd_listen_fds(1);
  if (n >= 1) {
    const int fd = SD_LISTEN_FDS_START;
    if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0)
      return posixError(ENOTSOCK, "the activated descriptor is not a listening Unix stream socket");
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return std::unique_ptr<Listener>(new Listener(UniqueFd(fd), socketPath, true, options, std::move(log)));
  }
  auto fd = bindSocket(socketPath, options);
  if (!fd.ok()) return fd.error();
  return std::unique_ptr<Listener>(new Listener(std::move(*fd), socketPath, false, options, std::move(log)));
}

Listener::Listener(UniqueFd fd, std::string path, bool activated, ListenerOptions options, Connection::LogSink log)
    : fd_(std::move(fd)), path_(std::move(path)), activated_(activated), options_(options), log_(std::move(log)) {
  const int on = 1;
  ::setsockopt(fd_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
}

void Listener::resume() {
  std::thread([this] { run(); }).detach();
}

void Listener::run() {
  for (;;) {
    UniqueFd client(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        if (log_) log_(LOG_ERR, std::string("accept: ") + std::strerror(errno));
        ::usleep(100000);
        continue;
      }
      if (log_) log_(LOG_CRIT, std::string("listener stopped: ") + std::strerror(errno));
      return;
    }
    const long long acceptedAt = boottimeNowNs();
    if (open_->load() >= options_.maxConnections) {
      if (log_) log_(LOG_ERR, "Dropping new connection: " + std::to_string(options_.maxConnections) + " connections already open");
      continue;
    }
    auto peer = readPeerCredentials(client.get(), options_.forcePidfdFallback, acceptedAt);
    if (!peer.ok()) {
      if (log_) log_(LOG_ERR, "Dropping new connection: " + peer.error().localizedDescription());
      continue;
    }
    const uid_t user = peer->euid;
    {
      std::lock_guard lock(perUser_->mutex);
      if (perUser_->open[user] >= options_.maxConnectionsPerUser) {
        if (log_) {
          log_(LOG_ERR, "Dropping new connection: uid " + std::to_string(user) + " already holds " +
                            std::to_string(options_.maxConnectionsPerUser) + " connections");
        }
        continue;
      }
      if (perUser_->admitting[user] >= options_.maxAdmissionsPerUser) {
        if (log_) {
          log_(LOG_ERR, "Dropping new connection: " + std::to_string(options_.maxAdmissionsPerUser) +
                            " admissions of uid " + std::to_string(user) + " already under way");
        }
        continue;
      }
      ++perUser_->open[user];
      ++perUser_->admitting[user];
    }
    auto connection = Connection::adopt(std::move(client), std::move(*peer), Connection::Role::kService,
                                        options_.connection);
    connection->setLogSink(log_);
    open_->fetch_add(1);
    auto counter = open_;
    auto perUser = perUser_;
    connection->holdWhileRunning(std::shared_ptr<void>(nullptr, [counter, perUser, user](void*) {
      counter->fetch_sub(1);
      std::lock_guard lock(perUser->mutex);
      if (--perUser->open[user] == 0) perUser->open.erase(user);
    }));
    admit(std::move(connection), user);
  }
}

void Listener::admit(std::shared_ptr<Connection> connection, uid_t user) {
  std::thread([this, connection = std::move(connection), user, perUser = perUser_] {
    const bool accepted = delegate_ && delegate_->shouldAcceptNewConnection(*this, connection);
    {
      std::lock_guard lock(perUser->mutex);
      if (--perUser->admitting[user] == 0) perUser->admitting.erase(user);
    }
    if (!accepted) {
      connection->invalidate();
      connection->holdWhileRunning(nullptr);
    }
  }).detach();
}

}  // namespace zeb::xpc
