#include "Utility/Reachability.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "platform/foundation/UniqueFd.h"

namespace zeb {
namespace {

struct AddrInfoFree {
  void operator()(addrinfo* ai) const { ::freeaddrinfo(ai); }
};

// A route exists when a datagram socket can be connected to the address; no packet leaves.
bool routeExists(const addrinfo& ai) {
  UniqueFd fd(::socket(ai.ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  return ::connect(fd.get(), ai.ai_addr, ai.ai_addrlen) == 0;
}

}  // namespace

std::optional<std::uint32_t> reachabilityFlagsForHost(const std::string& host, HostLookup lookup) {
  if (host.empty() || host.find('\0') != std::string::npos) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = lookup == HostLookup::kNumericOnly ? AI_NUMERICHOST : 0;
  addrinfo* raw = nullptr;
  // Any port will do: the route does not depend on it.
  if (::getaddrinfo(host.c_str(), "80", &hints, &raw) != 0 || !raw) return std::nullopt;
  std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
  std::uint32_t flags = 0;
  for (const addrinfo* ai = list.get(); ai; ai = ai->ai_next) {
    if (routeExists(*ai)) {
      flags |= kReachabilityReachable;
      break;
    }
  }
  return flags;
}

}  // namespace zeb
