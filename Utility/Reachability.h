// Whether a host can be reached, in the sense of the platform's network reachability flags: its name
// resolves and the kernel has a route to one of its addresses. Nothing is sent: the route check is a
// connect() of a UDP socket, which only consults the routing table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zeb {

enum ReachabilityFlags : std::uint32_t {
  kReachabilityReachable = 0x2,
  kReachabilityConnectionRequired = 0x4,
};

enum class HostLookup {
  kResolve,      // the system's resolver (hosts file, DNS ...)
  kNumericOnly,  // only literal addresses; names fail without a lookup
};

// The flags of a host, or nothing when they can't be determined (the name does not resolve).
// Blocks for as long as name resolution takes.
std::optional<std::uint32_t> reachabilityFlagsForHost(const std::string& host, HostLookup lookup);

}  // namespace zeb
