// Leveled log lines on standard output for the shared utilities: each line carries the local short
// date and time, "ZEB: ", the calling member's name in brackets form and the message. The threshold
// is the user default "LogDebug", read on every call.
#pragma once

#include <cstdint>
#include <string_view>

namespace zeb {

class ZEBLog {
 public:
  enum Level : std::int64_t { kDebug = 0, kInfo = 1, kWarn = 2, kError = 3 };

  // A message of level n is written when the threshold is at most n (signed comparison). The
  // caller is the calling member in brackets form, such as
  // "+[ZEBUtilities compressDirectoryAtPath:destinationPath:]"; anything without "-[" or "+[" is
  // shown as "Unknown". The ZEB_LOG_* macros below pass it.
  static void logDebug(const char* caller, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void logInfo(const char* caller, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void logWarn(const char* caller, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void logError(const char* caller, const char* format, ...) __attribute__((format(printf, 2, 3)));

  // The threshold: the integer value of "LogDebug", 0 when unset.
  static std::int64_t logLevel();

  // Writes a finished message unconditionally, as one line.
  static void log(std::string_view message, const char* caller = nullptr);

  // Formats and writes unconditionally; the macros call it after their own level check.
  static void logFormat(const char* caller, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static bool isEnabled(Level level) { return logLevel() <= level; }

  // The name shown for a caller: from "-[" (else "+[") up to and including the first "]" after it,
  // or "Unknown".
  static std::string_view callerName(const char* caller);
};

}  // namespace zeb

// The caller's name comes first, then a printf format and its arguments (use describe() for %@).
// A suppressed message costs one defaults read: its arguments are not even evaluated.
#define ZEB_LOG_AT(level, caller, ...)                                          \
  do {                                                                          \
    if (::zeb::ZEBLog::isEnabled(level)) ::zeb::ZEBLog::logFormat(caller, __VA_ARGS__); \
  } while (0)
#define ZEB_LOG_DEBUG(caller, ...) ZEB_LOG_AT(::zeb::ZEBLog::kDebug, caller, __VA_ARGS__)
#define ZEB_LOG_INFO(caller, ...) ZEB_LOG_AT(::zeb::ZEBLog::kInfo, caller, __VA_ARGS__)
#define ZEB_LOG_WARN(caller, ...) ZEB_LOG_AT(::zeb::ZEBLog::kWarn, caller, __VA_ARGS__)
#define ZEB_LOG_ERROR(caller, ...) ZEB_LOG_AT(::zeb::ZEBLog::kError, caller, __VA_ARGS__)
