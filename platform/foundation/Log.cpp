#include "platform/foundation/Log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

namespace zeb {

void openSystemLog(bool echoToStderr) { openlog(nullptr, LOG_PID | (echoToStderr ? LOG_PERROR : 0), LOG_DAEMON); }

void systemLog(int priority, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vsyslog(priority, format, ap);
  va_end(ap);
}

void nsLog(const char* format, ...) {
  char message[8192];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(message, sizeof message, format, ap);
  va_end(ap);

  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::string line = std::string(stamp) + "." + (ms < 100 ? (ms < 10 ? "00" : "0") : "") + std::to_string(ms) + " " +
                     program_invocation_short_name + "[" + std::to_string(getpid()) + ":" +
                     std::to_string(static_cast<long>(syscall(SYS_gettid))) + "] " + message;
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  [[maybe_unused]] auto n = ::write(STDERR_FILENO, line.data(), line.size());
}

namespace {
std::atomic<void (*)()> exitHook{nullptr};
}

void setExitHook(void (*hook)()) { exitHook.store(hook); }

void runExitHook() {
  if (auto hook = exitHook.exchange(nullptr)) hook();
}

void flushAndExit(int status) {
  runExitHook();
  std::fflush(stdout);
  std::fflush(stderr);
  closelog();
  ::_exit(status);
}

}  // namespace zeb
