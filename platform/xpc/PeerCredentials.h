// Who is at the other end of a Unix socket, from the kernel: pid, effective uid and gid, and a
// pidfd that pins the process so a recycled pid can't pass for it.
#pragma once

#include <sys/types.h>

#include <optional>

#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace zeb::xpc {

struct PeerCredentials {
  pid_t pid = -1;
  uid_t euid = static_cast<uid_t>(-1);
  gid_t egid = static_cast<gid_t>(-1);
  UniqueFd pidfd;
  // Start time of the process (clock ticks after boot), read when the pidfd was taken.
  long long startTicks = -1;
  // Whether `pidfd` lives on pidfs (kernels 6.9+), where two pidfds of one process share an inode.
  bool pidfdHasIdentity = false;
};

// SO_PEERCRED plus SO_PEERPIDFD. Without SO_PEERPIDFD (kernels before 6.5), or when forced: a pidfd
// opened now, accepted only if that process started no later than `acceptedAtBoottimeNs`.
Result<PeerCredentials> readPeerCredentials(int socketFd, bool forcePidfdFallback, long long acceptedAtBoottimeNs);

// CLOCK_BOOTTIME now, in nanoseconds.
long long boottimeNowNs();

// True while the process a pidfd refers to has not been reaped or ended.
bool pidfdAlive(int pidfd);

// Whether two pidfds on pidfs name the same process (not only the same pid number).
bool samePidfdProcess(int a, int b);
// True when the pidfd is on pidfs, so samePidfdProcess can tell processes apart.
bool pidfdHasIdentity(int pidfd);
// Field 22 of /proc/PID/stat: the start time in clock ticks after boot.
std::optional<long long> processStartTicks(pid_t pid);

}  // namespace zeb::xpc
