#include "tests/support/RawClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "protocol/ValueCodec.h"

namespace zebtest {

int rawConnect(const std::string& socketPath) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool readAll(int fd, void* buffer, std::size_t n) {
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    const ssize_t r = ::read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool writeAll(int fd, const std::string& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool rawHandshake(int fd) {
  unsigned char h[4];
  if (!readAll(fd, h, 4)) return false;
  std::string payload((std::size_t{h[0]} << 24) | (std::size_t{h[1]} << 16) | (std::size_t{h[2]} << 8) | h[3], '\0');
  if (!readAll(fd, payload.data(), payload.size())) return false;
  auto m = zeb::xpc::decodeMessage(payload);
  return m.ok() && writeAll(fd, zeb::xpc::encodeFrame(m->selector, m->arguments));
}

bool closedByPeer(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) {
      const ssize_t r = ::read(fd, buf, sizeof buf);
      if (r <= 0) return true;
    }
  }
  return false;
}

}  // namespace zebtest
