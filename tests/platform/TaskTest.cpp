#include "platform/task/Task.h"
#include "platform/task/CapturedStream.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace zeb {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<Task> shell(const std::string& script) {
  auto t = Task::create();
  t->setLaunchPath("/bin/sh");
  t->setArguments({"-c", script});
  return t;
}

TEST(Task, CapturesLargeOutputOnBothStreams) {
  // 64 MiB on each stream: more than any pipe holds, so both must be drained while it runs.
  auto t = shell("head -c 67108864 /dev/zero; head -c 67108864 /dev/zero >&2; exit 3");
  std::atomic<bool> handled{false};
  std::thread::id handlerThread;
  t->setTerminationHandler([&](Task& ended) {
    handlerThread = std::this_thread::get_id();
    EXPECT_FALSE(ended.isRunning());
    handled = true;
  });
  ASSERT_TRUE(t->launch().ok());
  t->waitUntilExit();
  EXPECT_TRUE(handled);
  EXPECT_NE(handlerThread, std::this_thread::get_id());
  EXPECT_EQ(t->terminationStatus(), 3);
  EXPECT_EQ(t->standardOutputData().size(), 64u << 20);
  EXPECT_EQ(t->standardErrorData().size(), 64u << 20);
}

TEST(CapturedStream, KeepsOneMiBInMemoryAndTheRestInAnUnlinkedFile) {
  CapturedStream s;
  std::string expected;
  for (int i = 0; expected.size() < 3 * CapturedStream::kMemoryBytes + 5; ++i) {
    const std::string piece = "line " + std::to_string(i) + "\n";
    s.append(piece);
    expected += piece;
  }
  EXPECT_EQ(s.size(), expected.size());
  EXPECT_EQ(s.all(), expected);
  EXPECT_EQ(s.head(10), expected.substr(0, 10));
  EXPECT_EQ(s.tail(100), expected.substr(expected.size() - 100));
  // A read across the edge of memory and file.
  EXPECT_EQ(s.read(CapturedStream::kMemoryBytes - 7, 20), expected.substr(CapturedStream::kMemoryBytes - 7, 20));
  std::string pieces;
  std::size_t count = 0;
  ASSERT_TRUE(s.forEachPiece([&](std::string_view p) {
                 pieces += p;
                 ++count;
                 return zeb::Status(zeb::Ok{});
               }).ok());
  EXPECT_EQ(pieces, expected);
  EXPECT_EQ(count, 4u);
}

TEST(Task, GrandchildHoldingThePipesIsNotWaitedFor) {
  auto t = shell("echo started; (sleep 30 >/dev/null 2>&1 &) ; sleep 30 & echo done; exit 0");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(t->launch().ok());
  t->waitUntilExit();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(t->standardOutputData(), "started\ndone\n");
}

TEST(Task, EnvironmentAndSignalsAndLaunchFailure) {
  auto env = Task::create();
  env->setLaunchPath("/usr/bin/env");
  env->setEnvironment(Task::Environment{{"HOME", "/home/someone"}});
  ASSERT_TRUE(env->launch().ok());
  env->waitUntilExit();
  EXPECT_EQ(env->standardOutputData(), "HOME=/home/someone\n");

  // A stopped tool that handles SIGTERM acts on terminate only once resumed.
  auto handler = shell("trap 'exit 7' TERM; echo ready; while :; do sleep 0.05; done");
  ASSERT_TRUE(handler->launch().ok());
  std::this_thread::sleep_for(200ms);
  handler->suspend();
  handler->terminate();
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(handler->isRunning());
  handler->resume();
  handler->waitUntilExit();
  EXPECT_FALSE(handler->terminatedBySignal());
  EXPECT_EQ(handler->terminationStatus(), 7);

  auto sleeper = shell("exec sleep 30");
  ASSERT_TRUE(sleeper->launch().ok());
  sleeper->terminate();
  sleeper->waitUntilExit();
  EXPECT_TRUE(sleeper->terminatedBySignal());
  EXPECT_EQ(sleeper->terminationStatus(), SIGTERM);

  auto missing = Task::create();
  missing->setLaunchPath("/nonexistent/tool");
  bool ran = false;
  missing->setTerminationHandler([&](Task&) { ran = true; });
  EXPECT_FALSE(missing->launch().ok());
  missing->terminate();  // nothing to signal
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace zeb
