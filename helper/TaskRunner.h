// The daemon's task runner: launches tools, keeps them in the running-task registry while they run,
// and hands each ended tool to its caller's completion. Tools run in slots: a few per requesting
// user and a bounded number in all; requests beyond them wait in arrival order. Each tool runs
// under a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/task/Task.h"

// The launched tools that have not yet ended; its mutex guards it.
struct ZEBRunningTasks {
  std::mutex lock;
  std::set<std::shared_ptr<zeb::Task>> tasks;
};

struct TaskLimits {
  // User defaults "ToolsPerUser", "ToolsTotal" and "ToolTimeLimit" (seconds) override these.
  static constexpr std::size_t kToolsPerUser = 4;
  static constexpr std::size_t kToolsTotal = 16;
  static constexpr std::chrono::seconds kToolTimeLimit{3600};

  std::size_t perUser = kToolsPerUser;
  std::size_t total = kToolsTotal;
  std::chrono::seconds timeLimit = kToolTimeLimit;

  // The limits with the user defaults applied (a missing or non-positive default keeps the constant).
  static TaskLimits fromUserDefaults();
};

class TaskRunner {
 public:
  using Setup = std::function<void(zeb::Task&)>;
  using Completion = std::function<void(zeb::Task&)>;
  using LaunchFailure = std::function<void(const zeb::Error&)>;
  using Stopped = std::function<void()>;

  explicit TaskRunner(TaskLimits limits = {});

  const std::shared_ptr<ZEBRunningTasks>& registry() const { return registry_; }

  // Runs `command` for `user` with both output streams captured, at once or when a slot frees.
  // At most one of the callbacks runs: `completion` on the tool's own thread once it has ended and
  // left the registry, `failed` when it could not be started (it leaves the registry again), or
  // `stopped` when a stop of its user ended it or took it out of the queue. After the stop of the
  // whole daemon (terminateAll) none needs to run.
  void run(uid_t user, const std::string& command, std::vector<std::string> arguments, Setup setup,
           Completion completion, LaunchFailure failed, Stopped stopped = nullptr);

  // The stop of the whole daemon: from now on no queued tool starts; every running tool is
  // suspended, then terminated and resumed (a stopped process acts on SIGTERM only once it runs
  // again).
  void terminateAll();

  // The stop of one user's work: that user's queued tools leave the queue and its running tools are
  // terminated as terminateAll does; each one's `stopped` runs instead of its other callbacks.
  void stopUser(uid_t user);

  // Whether a tool of any user but `user` runs or waits.
  bool hasToolsOfOthersThan(uid_t user) const;

 private:
  struct Pending {
    uid_t user;
    std::shared_ptr<zeb::Task> task;
    Completion completion;
    LaunchFailure failed;
    Stopped stopped;
  };
  // Slots and the queue, shared with the completions of running tools.
  struct Slots {
    TaskLimits limits;
    std::mutex mutex;
    std::deque<Pending> queue;
    std::map<uid_t, std::size_t> perUser;
    std::size_t running = 0;
    // Set by the daemon's stop: nothing queued starts any more.
    bool stopping = false;
    // The user of each running tool, and the running tools a stop of their user has ended.
    std::map<const zeb::Task*, uid_t> owners;
    std::set<const zeb::Task*> stoppedTasks;
  };

  // Starts every queued tool that now has a slot, in arrival order.
  static void startQueued(const std::shared_ptr<Slots>& slots, const std::shared_ptr<ZEBRunningTasks>& registry);
  static void release(Slots& slots, uid_t user);
  // Suspends, terminates and resumes each tool that still runs.
  static void terminate(const std::vector<std::shared_ptr<zeb::Task>>& tasks);

  std::shared_ptr<ZEBRunningTasks> registry_;
  std::shared_ptr<Slots> slots_;
};
