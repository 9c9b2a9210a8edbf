// The two log channels of the platform: the system log (syslog, optionally echoed to standard
// error) and NSLog's timestamped lines on standard error.
#pragma once

#include <syslog.h>

namespace zeb {

// Opens the system log with the default identity; with echoToStderr every line also goes to
// standard error, which is how tests read the daemon's log.
void openSystemLog(bool echoToStderr);

// syslog(3) with a printf format.
void systemLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A timestamped line on standard error, written with one call.
void nsLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the process at once after the logs are out: no static destructors run under live threads.
// The exit hook, when set, runs first (it must be async-signal-safe: signal handlers call it too).
[[noreturn]] void flushAndExit(int status);
void setExitHook(void (*hook)());
void runExitHook();

}  // namespace zeb
