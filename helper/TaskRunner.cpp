#include "helper/TaskRunner.h"

#include <syslog.h>

#include "platform/foundation/Log.h"

using namespace zeb;

Status TaskRunner::run(const std::string& command, std::vector<std::string> arguments, Setup setup,
                       Completion completion) {
  auto task = Task::create();
  task->setLaunchPath(command);
  task->setArguments(std::move(arguments));
  task->setStandardOutput(Task::Stream::kCapture);
  task->setStandardError(Task::Stream::kCapture);

  const std::string toolName = task->toolName();
  std::weak_ptr<Task> weakTask = task;
  task->setTerminationHandler(
      [registry = registry_, toolName, weakTask, completion = std::move(completion)](Task& ended) {
        systemLog(LOG_NOTICE, "termination handler for %s", toolName.c_str());
        {
          std::lock_guard lock(registry->lock);
          if (auto t = weakTask.lock()) registry->tasks.erase(t);
        }
        if (completion) completion(ended);
      });

  if (setup) setup(*task);
  systemLog(LOG_NOTICE, "Running command %s", toolName.c_str());
  {
    std::lock_guard lock(registry_->lock);
    registry_->tasks.insert(task);
  }
  // The registry holds the task until its handler runs; the handler's thread holds it too.
  Status launched = task->launch();
  if (!launched.ok()) {
    {
      std::lock_guard lock(registry_->lock);
      registry_->tasks.erase(task);
    }
    systemLog(LOG_ERR, "Could not launch %s: %s", toolName.c_str(), launched.error().localizedDescription().c_str());
  }
  return launched;
}

void TaskRunner::terminateAll() {
  std::vector<std::shared_ptr<Task>> copy;
  {
    std::lock_guard lock(registry_->lock);
    copy.assign(registry_->tasks.begin(), registry_->tasks.end());
  }
  systemLog(LOG_NOTICE, "%lu tasks running tasks", static_cast<unsigned long>(copy.size()));
  for (const auto& task : copy) {
    if (!task->isLaunched()) continue;
    task->suspend();
    if (task->isRunning()) {
      systemLog(LOG_NOTICE, "Terminating %s prematurely", task->toolName().c_str());
      task->terminate();
      task->resume();
    }
  }
}
