// The daemon's task runner: launches tools, keeps them in the running-task registry while they run,
// and hands each ended tool to its caller's completion.
#pragma once

#include <functional>
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

class TaskRunner {
 public:
  using Setup = std::function<void(zeb::Task&)>;
  using Completion = std::function<void(zeb::Task&)>;

  TaskRunner() : registry_(std::make_shared<ZEBRunningTasks>()) {}

  const std::shared_ptr<ZEBRunningTasks>& registry() const { return registry_; }

  // Launches `command` with both output streams captured. The completion runs on the tool's own
  // thread once it has ended and left the registry. A tool that can't be launched leaves the
  // registry again and its completion never runs: the caller answers from the returned error.
  [[nodiscard]] zeb::Status run(const std::string& command, std::vector<std::string> arguments, Setup setup,
                                Completion completion);

  // Suspends every running tool, then terminates and resumes it (a stopped process acts on SIGTERM
  // only once it runs again).
  void terminateAll();

 private:
  std::shared_ptr<ZEBRunningTasks> registry_;
};
