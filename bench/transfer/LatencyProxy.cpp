#include "LatencyProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;
// Bytes taken from the socket per read: large enough that the copy, not the system call, dominates.
constexpr std::size_t kReadSize = 1024 * 1024;

// One direction of a connection: a reader that stamps what arrives with the time it may leave, and
// a writer that sends it then. An empty packet marks the end of the stream.
class Pipe {
public:
  Pipe(int from, int to, std::chrono::microseconds delay) : from_(from), to_(to), delay_(delay) {
    reader_ = std::thread([this] { read(); });
    writer_ = std::thread([this] { write(); });
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    reader_.join();
    writer_.join();
  }

private:
  struct Packet {
    Clock::time_point due;
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;  // 0: the end of the stream
  };

  void read() {
    for (;;) {
      // Buffers come back from the writer, so a steady stream allocates nothing.
      std::unique_ptr<char[]> bytes;
      {
        std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
          bytes = std::move(spare_.back());
          spare_.pop_back();
        }
      }
      if (!bytes) bytes = std::make_unique_for_overwrite<char[]>(kReadSize);
      ssize_t n;
      do {
        n = ::recv(from_, bytes.get(), kReadSize, 0);
      } while (n < 0 && errno == EINTR);
      const std::size_t size = n > 0 ? static_cast<std::size_t>(n) : 0;
      {
        std::lock_guard lock(mutex_);
        queue_.push_back(Packet{Clock::now() + delay_, std::move(bytes), size});
      }
      ready_.notify_one();
      if (size == 0) return;
    }
  }

  void write() {
    for (;;) {
      Packet packet;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !queue_.empty(); });
        packet = std::move(queue_.front());
        queue_.pop_front();
      }
      if (delay_.count() > 0) std::this_thread::sleep_until(packet.due);
      if (packet.size == 0) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      std::size_t sent = 0;
      while (sent < packet.size) {
        ssize_t n = ::send(to_, packet.bytes.get() + sent, packet.size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          // The far side is gone: stop reading this direction too.
          ::shutdown(from_, SHUT_RD);
          drain();
          return;
        }
        sent += static_cast<std::size_t>(n);
      }
      std::lock_guard lock(mutex_);
      spare_.push_back(std::move(packet.bytes));
    }
  }

  // Waits for the reader's end marker, dropping what comes before it.
  void drain() {
    for (;;) {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return !queue_.empty(); });
      const bool end = queue_.front().size == 0;
      queue_.pop_front();
      if (end) return;
    }
  }

  int from_;
  int to_;
  std::chrono::microseconds delay_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Packet> queue_;
  std::vector<std::unique_ptr<char[]>> spare_;
  std::thread reader_;
  std::thread writer_;
};

int connectTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

void noDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

struct LatencyProxy::Link {
  struct Sockets {
    ~Sockets() {
      ::close(client);
      ::close(server);
    }
    int client;
    int server;
  };

  Link(int client, int server, std::chrono::microseconds delay)
      : sockets{client, server}, up(client, server, delay), down(server, client, delay) {}
  // Wakes both pipes; they end (members go in reverse order) before the sockets close.
  ~Link() { cut(); }
  void cut() {
    ::shutdown(sockets.client, SHUT_RDWR);
    ::shutdown(sockets.server, SHUT_RDWR);
  }
  Sockets sockets;
  Pipe up;
  Pipe down;
};

LatencyProxy::LatencyProxy(int targetPort, std::chrono::microseconds oneWayDelay, std::size_t maxConnections)
    : targetPort_(targetPort), delay_(oneWayDelay), maxConnections_(maxConnections) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

LatencyProxy::~LatencyProxy() {
  stopping_ = true;
  if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard lock(linksMutex_);
    for (auto& link : links_) link->cut();
  }
  links_.clear();
  if (listener_ >= 0) ::close(listener_);
}

void LatencyProxy::acceptLoop() {
  while (!stopping_) {
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR) continue;
      return;
    }
    {
      std::lock_guard lock(linksMutex_);
      if (links_.size() >= maxConnections_) {
        ::close(client);
        continue;
      }
    }
    int server = connectTo(targetPort_);
    if (server < 0) {
      ::close(client);
      continue;
    }
    noDelay(client);
    noDelay(server);
    std::lock_guard lock(linksMutex_);
    links_.push_back(std::make_unique<Link>(client, server, delay_));
  }
}
