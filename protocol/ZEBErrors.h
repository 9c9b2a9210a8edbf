// The daemon's service name, its own error domain and the codes it answers in, as every client
// reads them. The collector families' domains ("...privileged.mobility" and the others) live with
// the collector of each family, the one place that answers in them.
#pragma once

#include <cstdint>
#include <string_view>

// The Mach service's name, which is also the domain of the daemon's own errors.
inline constexpr std::string_view kZEBServiceName = "com.orvel.tessel.zeb.privileged";
inline constexpr std::string_view kZEBDaemonErrorDomain = kZEBServiceName;

enum ZEBDaemonErrorCode : std::int64_t {
  // A request that ended without its answer (a bug): the client still hears of it.
  kZEBUnansweredErrorCode = 1,
  // The path policy refused the destination.
  kZEBAccessDeniedErrorCode = 2,
};
