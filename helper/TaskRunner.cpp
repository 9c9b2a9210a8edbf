// The daemon's task runner: launches tools, keeps them in the running-task registry while they run,
// and hands each ended tool to its caller's callback.
#include <syslog.h>

#include "helper/ZEBPrivilegedDaemon.h"
#include "platform/foundation/Log.h"

using namespace zeb;

Status ZEBPrivilegedDaemon::runCommand(const std::string& command, std::vector<std::string> arguments,
                                       TaskCallback callback) {
  return runCommand(command, std::move(arguments), nullptr, std::move(callback));
}

Status ZEBPrivilegedDaemon::runCommand(const std::string& command, std::vector<std::string> arguments, TaskSetup setup,
                                       TaskCallback callback) {
  auto task = Task::create();
  task->setLaunchPath(command);
  task->setArguments(std::move(arguments));
  task->setStandardOutput(Task::Stream::kCapture);
  task->setStandardError(Task::Stream::kCapture);

  auto registry = runningTasks();
  if (!registry) {
    // Only reachable before any admission (tests driving the runner directly).
    registry = std::make_shared<ZEBRunningTasks>();
    runningTasks_.set(registry);
  }
  const std::string toolName = task->toolName();
  std::weak_ptr<Task> weakTask = task;
  task->setTerminationHandler([registry, toolName, weakTask, callback = std::move(callback)](Task& ended) {
    systemLog(LOG_NOTICE, "termination handler for %s", toolName.c_str());
    {
      std::lock_guard lock(registry->lock);
      if (auto t = weakTask.lock()) registry->tasks.erase(t);
    }
    if (callback) callback(ended);
  });

  if (setup) setup(*task);
  systemLog(LOG_NOTICE, "Running command %s", toolName.c_str());
  {
    std::lock_guard lock(registry->lock);
    registry->tasks.insert(task);
  }
  // The registry holds the task until its handler runs; the handler's thread holds it too.
  Status launched = task->launch();
  if (!launched.ok()) {
    {
      std::lock_guard lock(registry->lock);
      registry->tasks.erase(task);
    }
    systemLog(LOG_ERR, "Could not launch %s: %s", toolName.c_str(), launched.error().localizedDescription().c_str());
  }
  return launched;
}

void ZEBPrivilegedDaemon::terminateRunningTasks() {
  std::vector<std::shared_ptr<Task>> copy;
  if (auto registry = runningTasks()) {
    std::lock_guard lock(registry->lock);
    copy.assign(registry->tasks.begin(), registry->tasks.end());
  }
  systemLog(LOG_NOTICE, "%lu tasks running tasks", static_cast<unsigned long>(copy.size()));
  for (const auto& task : copy) {
    if (!task->isLaunched()) continue;
    task->suspend();
    if (task->isRunning()) {
      systemLog(LOG_NOTICE, "Terminating %s prematurely", task->toolName().c_str());
      task->terminate();
      // A stopped process acts on SIGTERM only once it runs again.
      task->resume();
    }
  }
}
