#include "helper/TaskRunner.h"

#include <syslog.h>

#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"

using namespace zeb;

TaskLimits TaskLimits::fromUserDefaults() {
  TaskLimits limits;
  if (const std::int64_t n = UserDefaults::integerForKey("ToolsPerUser"); n > 0) limits.perUser = static_cast<std::size_t>(n);
  if (const std::int64_t n = UserDefaults::integerForKey("ToolsTotal"); n > 0) limits.total = static_cast<std::size_t>(n);
  if (const std::int64_t n = UserDefaults::integerForKey("ToolTimeLimit"); n > 0) limits.timeLimit = std::chrono::seconds(n);
  return limits;
}

TaskRunner::TaskRunner(TaskLimits limits)
    : registry_(std::make_shared<ZEBRunningTasks>()), slots_(std::make_shared<Slots>()) {
  slots_->limits = limits;
}

void TaskRunner::run(uid_t user, const std::string& command, std::vector<std::string> arguments, Setup setup,
                     Completion completion, LaunchFailure failed, Stopped stopped) {
  auto task = Task::create();
  task->setLaunchPath(command);
  task->setArguments(std::move(arguments));
  task->setStandardOutput(Task::Stream::kCapture);
  task->setStandardError(Task::Stream::kCapture);
  task->setTimeLimit(slots_->limits.timeLimit);
  if (setup) setup(*task);
  {
    std::lock_guard lock(slots_->mutex);
    slots_->queue.push_back(Pending{user, task, std::move(completion), std::move(failed), std::move(stopped)});
    if (slots_->queue.size() > 1 || slots_->running >= slots_->limits.total ||
        slots_->perUser[user] >= slots_->limits.perUser) {
      systemLog(LOG_NOTICE, "Waiting for a tool slot: %s for uid %u", task->toolName().c_str(),
                static_cast<unsigned>(user));
    }
  }
  startQueued(slots_, registry_);
}

void TaskRunner::release(Slots& slots, uid_t user) {
  std::lock_guard lock(slots.mutex);
  --slots.running;
  if (--slots.perUser[user] == 0) slots.perUser.erase(user);
}

void TaskRunner::startQueued(const std::shared_ptr<Slots>& slots, const std::shared_ptr<ZEBRunningTasks>& registry) {
  for (;;) {
    Pending next;
    {
      std::lock_guard lock(slots->mutex);
      if (slots->stopping || slots->running >= slots->limits.total) return;
      auto it = slots->queue.begin();
      while (it != slots->queue.end() && slots->perUser[it->user] >= slots->limits.perUser) ++it;
      if (it == slots->queue.end()) return;
      next = std::move(*it);
      slots->queue.erase(it);
      ++slots->running;
      ++slots->perUser[next.user];
      slots->owners[next.task.get()] = next.user;
    }

    Task& task = *next.task;
    const std::string toolName = task.toolName();
    const uid_t user = next.user;
    std::weak_ptr<Task> weakTask = next.task;
    task.setTerminationHandler([slots, registry, toolName, user, weakTask, completion = std::move(next.completion),
                                stopped = std::move(next.stopped)](Task& ended) {
      systemLog(LOG_NOTICE, "termination handler for %s", toolName.c_str());
      if (ended.exceededTimeLimit()) {
        systemLog(LOG_ERR, "%s ran past its time limit of %lld s and was ended with signal %d", toolName.c_str(),
                  static_cast<long long>(slots->limits.timeLimit.count()), ended.terminationStatus());
      }
      {
        std::lock_guard lock(registry->lock);
        if (auto t = weakTask.lock()) registry->tasks.erase(t);
      }
      bool endedByStop = false;
      {
        std::lock_guard lock(slots->mutex);
        slots->owners.erase(&ended);
        endedByStop = slots->stoppedTasks.erase(&ended) > 0;
      }
      release(*slots, user);
      startQueued(slots, registry);
      if (endedByStop) {
        if (stopped) stopped();
      } else if (completion) {
        completion(ended);
      }
    });

    systemLog(LOG_NOTICE, "Running command %s", toolName.c_str());
    {
      std::lock_guard lock(registry->lock);
      registry->tasks.insert(next.task);
    }
    // The registry holds the task until its handler runs; the handler's thread holds it too.
    Status launched = task.launch();
    if (!launched.ok()) {
      {
        std::lock_guard lock(registry->lock);
        registry->tasks.erase(next.task);
      }
      {
        std::lock_guard lock(slots->mutex);
        slots->owners.erase(next.task.get());
        slots->stoppedTasks.erase(next.task.get());
      }
      release(*slots, user);
      systemLog(LOG_ERR, "Could not launch %s: %s", toolName.c_str(), launched.error().localizedDescription().c_str());
      if (next.failed) next.failed(launched.error());
    }
  }
}

void TaskRunner::terminateAll() {
  {
    std::lock_guard lock(slots_->mutex);
    slots_->stopping = true;
  }
  std::vector<std::shared_ptr<Task>> copy;
  {
    std::lock_guard lock(registry_->lock);
    copy.assign(registry_->tasks.begin(), registry_->tasks.end());
  }
  systemLog(LOG_NOTICE, "%lu tasks running tasks", static_cast<unsigned long>(copy.size()));
  terminate(copy);
}

void TaskRunner::stopUser(uid_t user) {
  std::vector<Pending> dropped;
  std::set<const Task*> ending;
  {
    std::lock_guard lock(slots_->mutex);
    for (auto it = slots_->queue.begin(); it != slots_->queue.end();) {
      if (it->user == user) {
        dropped.push_back(std::move(*it));
        it = slots_->queue.erase(it);
      } else {
        ++it;
      }
    }
    for (const auto& [task, owner] : slots_->owners) {
      if (owner != user) continue;
      slots_->stoppedTasks.insert(task);
      ending.insert(task);
    }
  }
  std::vector<std::shared_ptr<Task>> running;
  {
    std::lock_guard lock(registry_->lock);
    for (const auto& task : registry_->tasks)
      if (ending.count(task.get())) running.push_back(task);
  }
  systemLog(LOG_NOTICE, "Stopping %lu running and %lu waiting tools of uid %u", static_cast<unsigned long>(running.size()),
            static_cast<unsigned long>(dropped.size()), static_cast<unsigned>(user));
  for (Pending& p : dropped)
    if (p.stopped) p.stopped();
  terminate(running);
}

bool TaskRunner::hasToolsOfOthersThan(uid_t user) const {
  std::lock_guard lock(slots_->mutex);
  for (const Pending& p : slots_->queue)
    if (p.user != user) return true;
  for (const auto& [task, owner] : slots_->owners)
    if (owner != user) return true;
  return false;
}

void TaskRunner::terminate(const std::vector<std::shared_ptr<Task>>& tasks) {
  for (const auto& task : tasks) {
    if (!task->isLaunched()) continue;
    task->suspend();
    if (task->isRunning()) {
      systemLog(LOG_NOTICE, "Terminating %s prematurely", task->toolName().c_str());
      // What the tool started goes too: nothing of a stopped request runs on as root.
      task->terminateGroup();
      task->resume();
    }
  }
}
