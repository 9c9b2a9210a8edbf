// The daemon's task runner, driven in-process.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <chrono>
#include <future>
#include <thread>

#include "helper/ZEBPrivilegedDaemon.h"

namespace {

using namespace std::chrono_literals;

bool inRegistry(ZEBPrivilegedDaemon& d, const zeb::Task& t) {
  auto r = d.runningTasks();
  std::lock_guard lock(r->lock);
  for (const auto& x : r->tasks)
    if (x.get() == &t) return true;
  return false;
}

std::size_t registrySize(ZEBPrivilegedDaemon& d) {
  auto r = d.runningTasks();
  std::lock_guard lock(r->lock);
  return r->tasks.size();
}

// Runs a tool as root's; the launch error, if any, lands in `failure`.
void runTool(ZEBPrivilegedDaemon& d, const std::string& command, std::vector<std::string> arguments,
             TaskRunner::Setup setup, TaskRunner::Completion completion, std::optional<zeb::Error>* failure = nullptr) {
  ZEBRequester root;
  root.uid = 0;
  d.runCommand(root, command, std::move(arguments), std::move(setup), std::move(completion),
               [failure](const zeb::Error& e) {
                 if (failure) *failure = e;
               },
               nullptr);
}

TEST(TaskRunner, CallbackSeesTheEndedToolOutOfTheRegistry) {
  ZEBPrivilegedDaemon d({});
  std::promise<std::tuple<bool, int, std::string>> done;
  runTool(d, "/bin/sh", {"-c", "echo out; exit 4"}, nullptr, [&](zeb::Task& t) {
    done.set_value({inRegistry(d, t), t.terminationStatus(), t.standardOutputData()});
  });
  auto [stillThere, status, out] = done.get_future().get();
  EXPECT_FALSE(stillThere);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(out, "out\n");
}

TEST(TaskRunner, SetupChangesTheEnvironmentBeforeLaunch) {
  ZEBPrivilegedDaemon d({});
  std::promise<std::string> done;
  auto setup = [](zeb::Task& t) {
    auto env = t.environment().value_or(zeb::Task::Environment{});
    env["HOME"] = "/home/u";
    t.setEnvironment(env);
  };
  runTool(d, "/usr/bin/env", {}, setup, [&](zeb::Task& t) { done.set_value(t.standardOutputData()); });
  EXPECT_EQ(done.get_future().get(), "HOME=/home/u\n");
}

TEST(TaskRunner, ALaunchFailureLeavesTheRegistryAndSkipsTheCallback) {
  ZEBPrivilegedDaemon d({});
  std::atomic<bool> called{false};
  std::optional<zeb::Error> failure;
  runTool(d, "/nonexistent/tool", {}, nullptr, [&](zeb::Task&) { called = true; }, &failure);
  EXPECT_TRUE(failure.has_value());
  EXPECT_EQ(registrySize(d), 0u);
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(called);
}

TEST(TaskRunner, TerminateStopsEveryToolIncludingOnesThatWereStopped) {
  ZEBPrivilegedDaemon d({});
  std::atomic<int> ended{0};
  // One tool handles SIGTERM (so it must be resumed to act on it), one does not.
  runTool(d, "/bin/sh", {"-c", "trap 'exit 9' TERM; while :; do sleep 0.05; done"}, nullptr,
          [&](zeb::Task&) { ++ended; });
  runTool(d, "/bin/sleep", {"30"}, nullptr, [&](zeb::Task&) { ++ended; });
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(registrySize(d), 2u);
  d.terminateRunningTasks();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (ended.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ended.load(), 2);
  EXPECT_EQ(registrySize(d), 0u);
}

}  // namespace

namespace {

// Each tool appends "+U" when it starts and "-U" when it ends (U: its user) to one file.
TEST(TaskRunnerSlots, ToolsWaitForTheirUsersAndTheTotalSlotsInArrivalOrder) {
  TaskRunner runner(TaskLimits{2, 3, std::chrono::seconds(60)});
  char dir[] = "/tmp/zeb-slots.XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string journal = std::string(dir) + "/journal";
  std::atomic<int> ended{0};
  const auto submit = [&](uid_t user) {
    const std::string u = std::to_string(user);
    runner.run(user, "/bin/sh", {"-c", "echo +" + u + " >> " + journal + "; sleep 0.3; echo -" + u + " >> " + journal},
               nullptr, [&](zeb::Task&) { ++ended; }, nullptr);
  };
  for (int i = 0; i < 5; ++i) submit(1001);
  submit(1002);
  submit(1002);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (ended.load() < 7 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(ended.load(), 7);

  std::ifstream in(journal);
  std::map<std::string, int> running;
  int total = 0, maxTotal = 0, maxFirst = 0, firstStartsBeforeSecond = 0;
  bool secondStarted = false;
  for (std::string line; std::getline(in, line);) {
    const int step = line[0] == '+' ? 1 : -1;
    const std::string user = line.substr(1);
    running[user] += step;
    total += step;
    maxTotal = std::max(maxTotal, total);
    if (user == "1001") maxFirst = std::max(maxFirst, running[user]);
    if (step > 0 && user == "1002") secondStarted = true;
    if (step > 0 && user == "1001" && !secondStarted) ++firstStartsBeforeSecond;
  }
  EXPECT_EQ(maxFirst, 2);
  EXPECT_EQ(maxTotal, 3);
  // The second user's tools ran beside the first user's queue rather than after it.
  EXPECT_LT(firstStartsBeforeSecond, 5);
  std::filesystem::remove_all(dir);
}

// One user's stop ends its running and queued tools without their completions; another user's
// tool runs on and completes. The daemon's stop then starts nothing that waits.
TEST(TaskRunnerSlots, StopsEndWhatTheyMustAndStartNothingQueued) {
  TaskRunner runner(TaskLimits{1, 2, std::chrono::seconds(60)});
  std::atomic<int> completed1{0}, stopped1{0}, completed2{0}, stopped2{0}, completed3{0};
  const auto submit = [&](uid_t user, const char* seconds, std::atomic<int>& completed, std::atomic<int>* stopped) {
    runner.run(user, "/bin/sleep", {seconds}, nullptr, [&completed](zeb::Task&) { ++completed; }, nullptr,
               [stopped] {
                 if (stopped) ++*stopped;
               });
  };
  submit(1001, "30", completed1, &stopped1);
  submit(1001, "30", completed1, &stopped1);  // waits for user 1001's slot
  submit(1002, "0.5", completed2, &stopped2);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(runner.hasToolsOfOthersThan(1002));
  runner.stopUser(1001);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((stopped1.load() < 2 || completed2.load() < 1) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(stopped1.load(), 2);
  EXPECT_EQ(completed1.load(), 0);
  EXPECT_EQ(completed2.load(), 1);
  EXPECT_EQ(stopped2.load(), 0);
  EXPECT_FALSE(runner.hasToolsOfOthersThan(1002));

  submit(1003, "0.3", completed3, nullptr);
  submit(1003, "0.3", completed3, nullptr);  // queued behind the first
  std::this_thread::sleep_for(100ms);
  runner.terminateAll();
  std::this_thread::sleep_for(800ms);
  EXPECT_LE(completed3.load(), 1) << "a queued tool started after the stop";
}

// Whether the process is gone (or only a zombie waiting for its new parent to reap it).
bool processEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

TEST(TaskRunnerSlots, AToolPastItsTimeLimitIsEndedWithItsGroupAndFreesItsSlot) {
  TaskRunner runner(TaskLimits{1, 1, std::chrono::seconds(1)});
  char dir[] = "/tmp/zeb-group.XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string childPid = std::string(dir) + "/child";
  std::promise<std::pair<int, bool>> first;
  std::promise<int> second;
  // The tool's child holds the output pipe too: only ending the whole group ends it.
  runner.run(0, "/bin/sh", {"-c", "sleep 30 & echo $! > " + childPid + "; wait"}, nullptr,
             [&](zeb::Task& t) { first.set_value({t.terminationStatus(), t.exceededTimeLimit()}); }, nullptr);
  runner.run(0, "/bin/sh", {"-c", "exit 3"}, nullptr, [&](zeb::Task& t) { second.set_value(t.terminationStatus()); },
             nullptr);
  auto ended = first.get_future();
  ASSERT_EQ(ended.wait_for(8s), std::future_status::ready);
  EXPECT_EQ(ended.get(), std::make_pair(SIGTERM, true));
  auto next = second.get_future();
  ASSERT_EQ(next.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(next.get(), 3);
  std::ifstream in(childPid);
  pid_t child = 0;
  ASSERT_TRUE(in >> child);
  bool gone = false;
  for (int i = 0; i < 100 && !(gone = processEnded(child)); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(gone) << "the tool's child outlived the tool's time limit";
  if (!gone) ::kill(child, SIGKILL);
  std::filesystem::remove_all(dir);
}

TEST(TaskRunnerSlots, AToolIgnoringSIGTERMIsKilledAfterTheGrace) {
  TaskRunner runner(TaskLimits{1, 1, std::chrono::seconds(1)});
  std::promise<int> done;
  runner.run(0, "/bin/sh", {"-c", "trap '' TERM; while :; do sleep 0.1; done"}, nullptr,
             [&](zeb::Task& t) { done.set_value(t.terminationStatus()); }, nullptr);
  auto ended = done.get_future();
  ASSERT_EQ(ended.wait_for(zeb::Task::kKillGrace + 8s), std::future_status::ready);
  EXPECT_EQ(ended.get(), SIGKILL);
}

}  // namespace
