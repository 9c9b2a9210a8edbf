// One end of a service connection over a Unix stream socket: framed CBOR messages routed to an
// exported interface, one at a time in arrival order on the connection's own thread; thread-safe
// sends with a time limit; the peer identified by the kernel, and every message's sender checked
// against it.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/PeerCredentials.h"

namespace zeb::xpc {

struct ConnectionOptions {
  std::chrono::milliseconds sendTimeout{10000};
  // How long an admitted peer has to echo the challenge, and to finish a frame it has begun.
  std::chrono::milliseconds handshakeTimeout{10000};
  std::chrono::milliseconds frameTimeout{30000};
};

inline constexpr std::string_view kChallengeSelector = "zeb.challenge";
inline constexpr std::size_t kChallengeBytes = 32;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  enum class Role { kService, kClient };
  using LogSink = std::function<void(int priority, const std::string& line)>;
  using CloseHandler = std::function<void(const std::string& reason)>;

  // Takes an accepted (service) or connected (client) socket and its peer's credentials.
  static std::shared_ptr<Connection> adopt(UniqueFd socket, PeerCredentials peer, Role role, ConnectionOptions options);
  // Connects to a service socket and answers its challenge; fails when the service refuses us.
  static Result<std::shared_ptr<Connection>> connect(const std::string& socketPath, ConnectionOptions options,
                                                     std::chrono::milliseconds handshakeTimeout);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  pid_t processIdentifier() const { return peer_.pid; }
  gid_t effectiveGroupIdentifier() const { return peer_.egid; }
  uid_t effectiveUserIdentifier() const { return peer_.euid; }
  int peerPidfd() const { return peer_.pidfd.get(); }
  // "<connection pid P euid U>"
  std::string description() const;

  void setExportedInterface(std::shared_ptr<const Interface> interface);
  void setLogSink(LogSink sink) { log_ = std::move(sink); }
  // Runs once, on the connection's thread, when it stops reading (peer gone or connection dropped).
  void setCloseHandler(CloseHandler handler) { closeHandler_ = std::move(handler); }
  // Keeps something alive exactly as long as the connection's thread runs.
  void holdWhileRunning(std::shared_ptr<void> token) { token_ = std::move(token); }

  // Starts the connection's thread. A service connection first sends its challenge and requires
  // the echo as the peer's first frame.
  void resume();

  // Sends one message. Fails when the frame is too large, the peer has gone, or the send can't
  // complete within the send timeout.
  Status send(std::string_view selector, const Array& arguments);

  // Stops both directions; the connection's thread ends and later sends fail.
  void invalidate();
  bool isValid() const { return valid_.load(); }

 private:
  Connection(UniqueFd socket, PeerCredentials peer, Role role, ConnectionOptions options);
  void run();
  Status sendFrame(const std::string& frame);
  // Reads exactly `n` bytes from the peer; a zero timeout waits for ever.
  Status readExact(char* buffer, std::size_t n, std::chrono::milliseconds timeout);
  Result<Message> readMessage(bool idleWaitForever);
  // Whether a chunk's SCM_CREDENTIALS (and SCM_PIDFD, where the kernel sends it) name the peer.
  bool fromPeer(const ucred& sender, int senderPidfd);
  // Ends the connection for `why`; a peer that merely closed its end is not logged.
  void drop(const Error& why);
  Status serviceHandshake();

  UniqueFd socket_;
  PeerCredentials peer_;
  Role role_;
  // Client side: the service's process, taken from its first message. Under socket activation
  // the peer credentials name whoever called listen() (systemd), not the service.
  pid_t serviceSender_ = 0;
  ConnectionOptions options_;
  std::shared_ptr<const Interface> interface_;
  LogSink log_;
  CloseHandler closeHandler_;
  std::shared_ptr<void> token_;
  // Bytes read from the peer and not yet consumed (only the connection's thread touches them).
  static constexpr std::size_t kReadChunk = 64 * 1024;
  std::string inbuf_;
  std::size_t inpos_ = 0;
  int receiveTimeoutMs_ = 0;  // the socket's SO_RCVTIMEO; 0 waits for ever
  std::mutex sendMutex_;
  std::atomic<bool> valid_{true};
  std::atomic<bool> resumed_{false};
  // The kernel attaches the sender's pidfd to every message (SO_PASSPIDFD).
  bool passPidfd_ = false;
};

}  // namespace zeb::xpc
