#include "platform/xpc/PeerCredentials.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

namespace zeb::xpc {
namespace {

constexpr int kSoPeerPidfd = 77;  // not yet in glibc 2.36's headers

Error credentialError(int e, const char* what) { return posixError(e, what); }

constexpr long kPidfsMagic = 0x50494446;

}  // namespace

std::optional<long long> processStartTicks(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char buf[4096];
  const ssize_t n = ::read(fd.get(), buf, sizeof buf - 1);
  if (n <= 0) return std::nullopt;
  buf[n] = '\0';
  // The command name may hold spaces and parentheses: fields start after the last ')'.
  const char* p = std::strrchr(buf, ')');
  if (!p) return std::nullopt;
  ++p;
  int field = 2;
  while (*p && field < 22) {
    if (*p == ' ') ++field;
    ++p;
  }
  if (field != 22) return std::nullopt;
  return std::strtoll(p, nullptr, 10);
}

bool pidfdHasIdentity(int pidfd) {
  struct statfs fs {};
  return ::fstatfs(pidfd, &fs) == 0 && static_cast<long>(fs.f_type) == kPidfsMagic;
}

bool samePidfdProcess(int a, int b) {
  struct stat sa {}, sb {};
  if (!pidfdHasIdentity(a) || !pidfdHasIdentity(b)) return false;
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

long long boottimeNowNs() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool pidfdAlive(int pidfd) { return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0; }

Result<PeerCredentials> readPeerCredentials(int socketFd, bool forcePidfdFallback, long long acceptedAtBoottimeNs) {
  PeerCredentials out;
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return credentialError(errno, "SO_PEERCRED");
  if (cred.pid <= 0) return credentialError(ESRCH, "peer has no pid");
  out.pid = cred.pid;
  out.euid = cred.uid;
  out.egid = cred.gid;

  if (!forcePidfdFallback) {
    int pidfd = -1;
    len = sizeof pidfd;
    if (::getsockopt(socketFd, SOL_SOCKET, kSoPeerPidfd, &pidfd, &len) == 0 && pidfd >= 0) {
      out.pidfd.reset(pidfd);
      ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
      out.pidfdHasIdentity = pidfdHasIdentity(pidfd);
      out.startTicks = processStartTicks(out.pid).value_or(-1);
      return out;
    }
    if (errno != ENOPROTOOPT && errno != EINVAL) return credentialError(errno, "SO_PEERPIDFD");
  }

  // Older kernels: pin whatever now has that pid, then make sure it is old enough to have connected.
  out.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, out.pid, 0)));
  if (!out.pidfd) return credentialError(errno, "pidfd_open");
  const auto ticks = processStartTicks(out.pid);
  if (!ticks) return credentialError(ESRCH, "peer start time");
  const long long hz = ::sysconf(_SC_CLK_TCK);
  const long long startNs = *ticks * (1000000000LL / (hz > 0 ? hz : 100));
  if (startNs > acceptedAtBoottimeNs) return credentialError(ESRCH, "peer pid was reused");
  out.startTicks = *ticks;
  if (!pidfdAlive(out.pidfd.get())) return credentialError(ESRCH, "peer has gone");
  return out;
}

}  // namespace zeb::xpc
