// Wall-clock times with nanoseconds, and their description in log lines.
#pragma once

#include <chrono>
#include <string>

namespace zeb {

using Date = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

inline Date now() { return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now()); }

// "YYYY-MM-DD HH:MM:SS +0000", in UTC.
std::string describeDate(Date date);

// A timespec as a date, to the nanosecond.
Date dateFromTimespec(long long seconds, long nanoseconds);

}  // namespace zeb
