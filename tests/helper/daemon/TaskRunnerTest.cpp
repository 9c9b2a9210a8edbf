// The daemon's task runner, driven in-process.
#include <gtest/gtest.h>

#include <atomic>
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

TEST(TaskRunner, CallbackSeesTheEndedToolOutOfTheRegistry) {
  ZEBPrivilegedDaemon d({});
  std::promise<std::tuple<bool, int, std::string>> done;
  ASSERT_TRUE(d.runCommand("/bin/sh", {"-c", "echo out; exit 4"}, [&](zeb::Task& t) {
                 done.set_value({inRegistry(d, t), t.terminationStatus(), t.standardOutputData()});
               }).ok());
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
  ASSERT_TRUE(d.runCommand("/usr/bin/env", {}, setup, [&](zeb::Task& t) { done.set_value(t.standardOutputData()); }).ok());
  EXPECT_EQ(done.get_future().get(), "HOME=/home/u\n");
}

TEST(TaskRunner, ALaunchFailureLeavesTheRegistryAndSkipsTheCallback) {
  ZEBPrivilegedDaemon d({});
  std::atomic<bool> called{false};
  auto s = d.runCommand("/nonexistent/tool", {}, [&](zeb::Task&) { called = true; });
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(registrySize(d), 0u);
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(called);
}

TEST(TaskRunner, TerminateStopsEveryToolIncludingOnesThatWereStopped) {
  ZEBPrivilegedDaemon d({});
  std::atomic<int> ended{0};
  // One tool handles SIGTERM (so it must be resumed to act on it), one does not.
  ASSERT_TRUE(d.runCommand("/bin/sh", {"-c", "trap 'exit 9' TERM; while :; do sleep 0.05; done"},
                           [&](zeb::Task&) { ++ended; }).ok());
  ASSERT_TRUE(d.runCommand("/bin/sleep", {"30"}, [&](zeb::Task&) { ++ended; }).ok());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(registrySize(d), 2u);
  d.terminateRunningTasks();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (ended.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ended.load(), 2);
  EXPECT_EQ(registrySize(d), 0u);
}

}  // namespace
