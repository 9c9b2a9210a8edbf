#include "platform/xpc/Connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/xpc/XpcErrors.h"

namespace zeb::xpc {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSoPassPidfd = 76;  // kernel 6.5+, not yet in glibc 2.36's headers
constexpr int kScmPidfd = 0x04;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

}  // namespace

std::shared_ptr<Connection> Connection::adopt(UniqueFd socket, PeerCredentials peer, Role role,
                                              ConnectionOptions options) {
  return std::shared_ptr<Connection>(new Connection(std::move(socket), std::move(peer), role, options));
}

Connection::Connection(UniqueFd socket, PeerCredentials peer, Role role, ConnectionOptions options)
    : socket_(std::move(socket)), peer_(std::move(peer)), role_(role), options_(options) {
  // Reads block (with a receive timeout while a frame is under way); sends never do (MSG_DONTWAIT).
  ::fcntl(socket_.get(), F_SETFL, ::fcntl(socket_.get(), F_GETFL) & ~O_NONBLOCK);
  const int on = 1;
  ::setsockopt(socket_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  // With pidfs every message names its sending process, not only a pid number that may be reused.
  if (role_ == Role::kService && peer_.pidfdHasIdentity)
    passPidfd_ = ::setsockopt(socket_.get(), SOL_SOCKET, kSoPassPidfd, &on, sizeof on) == 0;
}

Connection::~Connection() = default;

bool Connection::fromPeer(const ucred& sender, int senderPidfd) {
  if (sender.uid != peer_.euid) return false;
  if (role_ == Role::kClient) {
    if (serviceSender_ == 0) serviceSender_ = sender.pid;
    return sender.pid == serviceSender_;
  }
  if (sender.pid != peer_.pid) return false;
  if (passPidfd_) return senderPidfd >= 0 && samePidfdProcess(senderPidfd, peer_.pidfd.get());
  // Without pidfs: the same pid must still be the process that started when the peer did.
  const auto started = processStartTicks(sender.pid);
  return started && *started == peer_.startTicks && pidfdAlive(peer_.pidfd.get());
}

std::string Connection::description() const {
  return "<connection pid " + std::to_string(peer_.pid) + " euid " + std::to_string(peer_.euid) + ">";
}

void Connection::setExportedInterface(std::shared_ptr<const Interface> interface) { interface_ = std::move(interface); }

Result<std::shared_ptr<Connection>> Connection::connect(const std::string& socketPath, ConnectionOptions options,
                                                        std::chrono::milliseconds handshakeTimeout) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) return xpcError(kXpcConnectionInvalid, "socket path too long");
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return posixError(errno, "socket");
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return posixError(errno, "connect " + socketPath);
  auto peer = readPeerCredentials(fd.get(), false, boottimeNowNs());
  if (!peer.ok()) return peer.error();
  auto conn = adopt(std::move(fd), std::move(*peer), Role::kClient, options);

  // The service speaks first, and only once it has admitted us.
  conn->options_.handshakeTimeout = handshakeTimeout;
  auto challenge = conn->readMessage(false);
  conn->options_.handshakeTimeout = options.handshakeTimeout;
  if (!challenge.ok()) {
    // A refused client is closed without a word; a service that stays silent is another failure.
    if (isXpcError(challenge.error(), kXpcTimedOutInFrame))
      return posixError(ETIMEDOUT, "no challenge from the service");
    return xpcError(kXpcConnectionInvalid, "the service refused the connection");
  }
  if (challenge->selector != kChallengeSelector || challenge->arguments.size() != 1 ||
      !challenge->arguments[0].asData())
    return xpcError(kXpcConnectionInvalid, "the service sent no challenge");
  if (auto s = conn->send(kChallengeSelector, challenge->arguments); !s.ok()) return s.error();
  return conn;
}

void Connection::resume() {
  if (resumed_.exchange(true)) return;
  std::thread([self = shared_from_this()] { self->run(); }).detach();
}

Status Connection::serviceHandshake() {
  Data challenge(kChallengeBytes);
  if (::getrandom(challenge.data(), challenge.size(), 0) != static_cast<ssize_t>(challenge.size()))
    return posixError(errno, "getrandom");
  if (auto s = send(kChallengeSelector, Array{Value(challenge)}); !s.ok()) return s;
  // The first frame must be the echo; anything queued before it is refused.
  std::string header(4, '\0');
  if (auto s = readExact(header.data(), 4, options_.handshakeTimeout); !s.ok()) return s;
  const std::uint32_t len = (std::uint32_t(std::uint8_t(header[0])) << 24) | (std::uint32_t(std::uint8_t(header[1])) << 16) |
                            (std::uint32_t(std::uint8_t(header[2])) << 8) | std::uint32_t(std::uint8_t(header[3]));
  if (len == 0 || len > 256) return xpcError(kXpcConnectionInvalid, "frame before the challenge echo");
  std::string payload(len, '\0');
  if (auto s = readExact(payload.data(), len, options_.handshakeTimeout); !s.ok()) return s;
  auto m = decodeMessage(payload);
  if (!m.ok() || m->selector != kChallengeSelector || m->arguments.size() != 1 || !m->arguments[0].asData() ||
      *m->arguments[0].asData() != challenge)
    return xpcError(kXpcConnectionInvalid, "frame before the challenge echo");
  return Ok{};
}

void Connection::run() {
  const std::shared_ptr<Connection> self = shared_from_this();
  if (role_ == Role::kService) {
    if (auto s = serviceHandshake(); !s.ok()) {
      drop(s.error());
      return;
    }
  }
  for (;;) {
    auto m = readMessage(true);
    if (!m.ok()) {
      drop(m.error());
      return;
    }
    if (!interface_) {
      drop(xpcError(kXpcConnectionInvalid, "no exported interface"));
      return;
    }
    auto method = interface_->validate(*m);
    if (!method.ok()) {
      drop(method.error());
      return;
    }
    (*method)->handler(self, m->arguments);
  }
}

void Connection::drop(const Error& why) {
  const std::string reason = why.localizedDescription();
  const bool quiet = isXpcError(why, kXpcPeerClosed);
  if (!quiet && log_) log_(LOG_ERR, "Dropping " + description() + ": " + reason);
  invalidate();
  if (closeHandler_) closeHandler_(reason);
  closeHandler_ = nullptr;
  token_.reset();
}

void Connection::invalidate() {
  valid_.store(false);
  ::shutdown(socket_.get(), SHUT_RDWR);
}

Status Connection::readExact(char* buffer, std::size_t n, std::chrono::milliseconds timeout) {
  const bool forever = timeout.count() == 0;
  const auto deadline = Clock::now() + timeout;
  std::size_t got = 0;
  for (;;) {
    // What an earlier read brought in already.
    const std::size_t take = std::min(n - got, inbuf_.size() - inpos_);
    std::memcpy(buffer + got, inbuf_.data() + inpos_, take);
    inpos_ += take;
    got += take;
    if (got == n) return Ok{};

    inbuf_.resize(kReadChunk);
    inpos_ = 0;
    iovec iov{inbuf_.data(), inbuf_.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(int) * 8)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    // The receive timeout is set only when it changes: a frame that arrives whole needs none.
    const int wantMs = forever ? 0 : std::max(1, remainingMs(deadline));
    if (wantMs != receiveTimeoutMs_) {
      timeval tv{wantMs / 1000, (wantMs % 1000) * 1000};
      ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      receiveTimeoutMs_ = wantMs;
    }
    const ssize_t r = ::recvmsg(socket_.get(), &msg, MSG_CMSG_CLOEXEC);
    if (r < 0) {
      inbuf_.clear();
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!forever && Clock::now() >= deadline)
          return xpcError(kXpcTimedOutInFrame, "timed out in the middle of a frame");
        continue;
      }
      return xpcError(kXpcConnectionInterrupted, std::string("read failed: ") + std::strerror(errno));
    }
    if (r == 0) {
      inbuf_.clear();
      return xpcError(kXpcPeerClosed, "peer closed the connection");
    }
    inbuf_.resize(static_cast<std::size_t>(r));

    // Every chunk must come from the admitted peer, and carry nothing but its credentials.
    bool sawCredentials = false;
    bool foreign = (msg.msg_flags & MSG_CTRUNC) != 0;
    ucred sender{};
    UniqueFd senderPidfd;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
          c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
        std::memcpy(&sender, CMSG_DATA(c), sizeof sender);
        sawCredentials = true;
      } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == kScmPidfd && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
        senderPidfd.reset(fd);
      } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
          int fd = -1;
          std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
          if (fd >= 0) ::close(fd);
        }
        foreign = true;
      } else {
        foreign = true;
      }
    }
    if (sawCredentials && !fromPeer(sender, senderPidfd.get())) foreign = true;
    if (foreign || !sawCredentials) {
      inbuf_.clear();
      return xpcError(kXpcConnectionInvalid, "message from another process than the peer");
    }
  }
}

Result<Message> Connection::readMessage(bool idleWaitForever) {
  char header[4];
  // Waiting for the next frame has no limit on an established connection; finishing one does.
  const auto firstWait = idleWaitForever ? std::chrono::milliseconds(0) : options_.handshakeTimeout;
  if (auto s = readExact(header, 1, firstWait); !s.ok()) return s.error();
  if (auto s = readExact(header + 1, 3, options_.frameTimeout); !s.ok()) return s.error();
  const std::uint32_t len = (std::uint32_t(std::uint8_t(header[0])) << 24) | (std::uint32_t(std::uint8_t(header[1])) << 16) |
                            (std::uint32_t(std::uint8_t(header[2])) << 8) | std::uint32_t(std::uint8_t(header[3]));
  // A service reads requests; a client reads answers, which may quote more than a request holds.
  const std::size_t limit = role_ == Role::kService ? kMaxFrameBytes : kMaxAnswerFrameBytes;
  if (len == 0 || len > limit) return xpcError(kXpcConnectionInvalid, "frame size " + std::to_string(len) + " out of bounds");
  std::string payload(len, '\0');
  if (auto s = readExact(payload.data(), len, options_.frameTimeout); !s.ok()) return s.error();
  return decodeMessage(payload, limit);
}

Status Connection::send(std::string_view selector, const Array& arguments) {
  const std::string frame = encodeFrame(selector, arguments);
  const std::size_t limit = role_ == Role::kService ? kMaxAnswerFrameBytes : kMaxFrameBytes;
  if (frame.size() - 4 > limit) return xpcError(kXpcConnectionInvalid, "message too large to send");
  return sendFrame(frame);
}

Status Connection::sendFrame(const std::string& frame) {
  std::lock_guard lock(sendMutex_);
  if (!valid_.load()) return xpcError(kXpcConnectionInvalid, "connection invalidated");
  const auto deadline = Clock::now() + options_.sendTimeout;
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = ::send(socket_.get(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{socket_.get(), POLLOUT, 0};
      const int pr = ::poll(&p, 1, remainingMs(deadline));
      if (pr == 0) return xpcError(kXpcConnectionInterrupted, "send timed out");
      continue;
    }
    return xpcError(kXpcConnectionInvalid, std::string("send failed: ") + std::strerror(errno));
  }
  return Ok{};
}

}  // namespace zeb::xpc
