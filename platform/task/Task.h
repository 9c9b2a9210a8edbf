// A child process run the way the client platform's task class runs one: launch path, arguments,
// optional environment, standard output and error captured through pipes that are drained while it
// runs, and a termination handler that runs once, on a thread of its own, after the child has ended.
// The child is held by a pidfd, so a recycled pid can never be signalled by mistake.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/task/CapturedStream.h"

namespace zeb {

class Task : public std::enable_shared_from_this<Task> {
 public:
  using Environment = std::map<std::string, std::string>;
  using TerminationHandler = std::function<void(Task&)>;
  enum class Stream { kCapture, kInherit };

  // What one stream keeps of a tool's output; the rest is read and dropped.
  static constexpr std::size_t kMaxCapturedBytes = CapturedStream::kMaxBytes;

  static std::shared_ptr<Task> create();

  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task();

  // Configuration, before launch.
  void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
  const std::string& launchPath() const { return launchPath_; }
  void setArguments(std::vector<std::string> args) { arguments_ = std::move(args); }
  const std::vector<std::string>& arguments() const { return arguments_; }
  // Unset: the child inherits ours.
  void setEnvironment(std::optional<Environment> env) { environment_ = std::move(env); }
  const std::optional<Environment>& environment() const { return environment_; }
  void setCurrentDirectoryPath(std::string dir) { currentDirectory_ = std::move(dir); }
  void setStandardOutput(Stream s) { stdoutMode_ = s; }
  void setStandardError(Stream s) { stderrMode_ = s; }
  // A descriptor the child inherits under the same number (for /dev/fd/N paths).
  void inheritDescriptor(int fd) { inherited_.push_back(fd); }
  void setTerminationHandler(TerminationHandler handler) { handler_ = std::move(handler); }
  // Past this run time the tool's process group gets SIGTERM, and SIGKILL kKillGrace later. Zero:
  // no limit. The tool runs in a process group of its own either way.
  void setTimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }
  static constexpr std::chrono::seconds kKillGrace{10};

  // The tool's name in log lines: the last component of the launch path.
  std::string toolName() const;

  // Starts the child. Fails (with the reason) when it cannot be started; the handler then never runs.
  Status launch();

  bool isLaunched() const { return launched_.load(); }
  bool isRunning() const { return running_.load(); }
  pid_t processIdentifier() const { return pid_; }

  // Signals through the pidfd; a task not launched, or already reaped, is left alone.
  void suspend();
  void resume();
  void terminate();
  // terminate, and SIGTERM to the rest of the tool's process group in the same step (before the
  // leader can be reaped): what it started ends with it.
  void terminateGroup();

  // Blocks until the child has ended and its output is collected.
  void waitUntilExit();

  // After the end: exit status, or the number of the signal that ended it.
  int terminationStatus() const { return terminationStatus_; }
  bool terminatedBySignal() const { return bySignal_; }
  // Whether it was ended for running past its time limit.
  bool exceededTimeLimit() const { return timedOut_.load(); }
  // After the end: everything the child wrote (up to kMaxCapturedBytes each), in memory and beyond.
  const CapturedStream& standardOutput() const { return stdout_; }
  const CapturedStream& standardError() const { return stderr_; }
  // The same read back whole: for output known to be small.
  std::string standardOutputData() const { return stdout_.all(); }
  std::string standardErrorData() const { return stderr_.all(); }

 private:
  Task() = default;
  void monitor(UniqueFd out, UniqueFd err);
  void sendSignal(int sig);
  // The tool and everything it started in its group (the group is the unreaped leader's pid).
  void signalGroup(int sig);

  std::string launchPath_;
  std::vector<std::string> arguments_;
  std::optional<Environment> environment_;
  std::string currentDirectory_;
  Stream stdoutMode_ = Stream::kCapture;
  Stream stderrMode_ = Stream::kCapture;
  std::vector<int> inherited_;
  TerminationHandler handler_;
  std::chrono::milliseconds timeLimit_{0};
  std::atomic<bool> timedOut_{false};

  pid_t pid_ = -1;
  UniqueFd pidfd_;
  std::mutex signalMutex_;  // orders signals against reaping
  std::atomic<bool> launched_{false};
  std::atomic<bool> running_{false};
  int terminationStatus_ = 0;
  bool bySignal_ = false;
  CapturedStream stdout_;
  CapturedStream stderr_;

  std::mutex doneMutex_;
  std::condition_variable doneCv_;
  bool done_ = false;
};

}  // namespace zeb
