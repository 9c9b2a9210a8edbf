#include "Utility/ZEBLog.h"

#include <unicode/udat.h>
#include <unicode/ustring.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/foundation/UserDefaults.h"

namespace zeb {
namespace {

// A log message longer than this is cut; a line must stay one write.
constexpr std::size_t kMaxMessageBytes = 16 * 1024;

__attribute__((format(printf, 1, 0))) std::string vformat(const char* format, va_list ap) {
  char buf[kMaxMessageBytes];
  const int n = std::vsnprintf(buf, sizeof buf, format, ap);
  if (n < 0) return {};
  return std::string(buf, std::min(static_cast<std::size_t>(n), sizeof buf - 1));
}

// The short date and short time of the user's locale, in the local time zone ("M/d/yy, h:mm a"
// for en_US).
std::string shortDateTime() {
  UErrorCode status = U_ZERO_ERROR;
  UDateFormat* fmt = udat_open(UDAT_SHORT, UDAT_SHORT, nullptr, nullptr, -1, nullptr, -1, &status);
  if (U_FAILURE(status) || !fmt) return {};
  UChar text[128];
  const int32_t len = udat_format(fmt, ucal_getNow(), text, 128, nullptr, &status);
  udat_close(fmt);
  if (U_FAILURE(status) || len <= 0) return {};
  char utf8[512];
  int32_t utf8Len = 0;
  u_strToUTF8(utf8, sizeof utf8, &utf8Len, text, len, &status);
  if (U_FAILURE(status) || utf8Len <= 0 || static_cast<std::size_t>(utf8Len) >= sizeof utf8) return {};
  return std::string(utf8, static_cast<std::size_t>(utf8Len));
}

__attribute__((format(printf, 3, 0))) void logAtLevel(ZEBLog::Level level, const char* caller, const char* format,
                                                       va_list ap) {
  if (ZEBLog::logLevel() > level) return;
  ZEBLog::log(vformat(format, ap), caller);
}

}  // namespace

std::int64_t ZEBLog::logLevel() { return UserDefaults::integerForKey("LogDebug"); }

std::string_view ZEBLog::callerName(const char* caller) {
  constexpr std::string_view kUnknown = "Unknown";
  if (!caller) return kUnknown;
  const std::string_view text(caller);
  std::size_t start = text.find("-[");
  if (start == std::string_view::npos) start = text.find("+[");
  if (start == std::string_view::npos) return kUnknown;
  const std::size_t end = text.find(']', start);
  if (end == std::string_view::npos) return kUnknown;
  return text.substr(start, end - start + 1);
}

void ZEBLog::log(std::string_view message, const char* caller) {
  std::string line = shortDateTime();
  line += " ZEB: ";
  line += callerName(caller);
  line += " - ";
  line += message;
  line += '\n';
  // One call per line keeps lines whole when threads log at once; output errors are ignored.
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void ZEBLog::logFormat(const char* caller, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const std::string message = vformat(format, ap);
  va_end(ap);
  log(message, caller);
}

#define ZEB_LEVEL_METHOD(name, level)                         \
  void ZEBLog::name(const char* caller, const char* format, ...) { \
    va_list ap;                                               \
    va_start(ap, format);                                     \
    logAtLevel(level, caller, format, ap);                    \
    va_end(ap);                                               \
  }
ZEB_LEVEL_METHOD(logDebug, kDebug)
ZEB_LEVEL_METHOD(logInfo, kInfo)
ZEB_LEVEL_METHOD(logWarn, kWarn)
ZEB_LEVEL_METHOD(logError, kError)
#undef ZEB_LEVEL_METHOD

}  // namespace zeb
