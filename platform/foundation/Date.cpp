#include "platform/foundation/Date.h"

#include <ctime>

namespace zeb {

std::string describeDate(Date date) {
  const auto secs = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
  const std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return buf;
}

Date dateFromTimespec(long long seconds, long nanoseconds) {
  return Date(std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds));
}

}  // namespace zeb
