// libzeb-client against the real daemon: failures told apart, typed answers, the blocking wait,
// the end of a connection, a client destroyed by its own delegate, and the C interface. Admitted
// behaviours run in a signed copy of this binary: `TEST_BINARY --zeb-lib NAME SOCKET DIR`.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "ZEB/Client.h"
#include "ZEB/zeb_client.h"
#include "tests/support/DaemonHarness.h"

namespace zebtest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

ZEB::Status connectTo(const std::string& socket, std::chrono::milliseconds handshake = 10s) {
  ZEB::Client::Options options;
  options.socketPath = socket;
  options.handshakeTimeout = handshake;
  ZEB::Status status;
  auto client = ZEB::Client::connect(options, nullptr, &status);
  EXPECT_EQ(client == nullptr, !status.ok());
  return status;
}

int listeningSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) ADD_FAILURE() << "bind " << path;
  return fd;
}

TEST(ClientLibrary, ConnectFailuresAreToldApart) {
  DaemonHarness d;
  TempDir dir;
  EXPECT_EQ(connectTo(dir.path() + "/absent.sock").failure(), ZEB::Failure::kNoSocket);

  const std::string stale = dir.path() + "/stale.sock";
  ::close(listeningSocket(stale));
  EXPECT_EQ(connectTo(stale).failure(), ZEB::Failure::kNoSocket);

  // Accepts, but never sends its challenge.
  const std::string silent = dir.path() + "/silent.sock";
  const int listener = listeningSocket(silent);
  EXPECT_EQ(connectTo(silent, 200ms).failure(), ZEB::Failure::kTimedOut);
  ::close(listener);

  // This binary is not signed: the daemon closes on it.
  EXPECT_EQ(connectTo(d.socketPath()).failure(), ZEB::Failure::kRefused);

  // A user the socket's mode keeps out (root passes any mode, so a child becomes nobody).
  ::chmod(d.socketPath().c_str(), 0600);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(10);
    _exit(connectTo(d.socketPath()).failure() == ZEB::Failure::kPermissionDenied ? 0 : 11);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Counts the typed callbacks and the end.
class Counting final : public ZEB::Delegate {
 public:
  std::atomic<int> samples{0}, closes{0}, received{0};
  void sampleProcessDidFinish(const std::optional<ZEB::Result>& r, const std::optional<ZEB::Error>&) override {
    if (r && r->pid) ++samples;
  }
  void didReceive(const ZEB::Answer&) override { ++received; }
  void connectionDidClose() override { ++closes; }
};

#define CHECK(cond)                                                     \
  do {                                                                  \
    if (!(cond)) {                                                      \
      std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond);  \
      return 1;                                                         \
    }                                                                   \
  } while (0)

int typedAnswers(const std::string& socket, const std::string& dir) {
  Counting delegate;
  ZEB::Client::Options options;
  options.socketPath = socket;
  ZEB::Status status;
  auto client = ZEB::Client::connect(options, &delegate, &status);
  CHECK(client && status.ok());

  // Sent in one go: each wait takes its own answer, whichever comes first.
  auto ready = client->expect(ZEB::Request::kPerformReadyCheck);
  auto sample = client->expect(ZEB::Request::kSampleProcess);
  auto copy = client->expect(ZEB::Request::kCopyLogFiles);
  CHECK(client->sampleProcessWithPID(1, dir + "/s.txt").ok());
  CHECK(client->copyLogFiles({{"/var/log/absent.log", dir + "/a.log"}}).ok());
  CHECK(client->performReadyCheck().ok());
  ZEB::Answer answer;
  CHECK(ready.wait(30s, &answer).ok() && answer.callback == ZEB::Callback::kHelperReady && answer.text == "0.84");
  CHECK(sample.wait(30s, &answer).ok() && answer.selector == "sampleProcessDidFinish:error:");
  CHECK(!answer.error && answer.result && answer.result->pid == 1u);
  CHECK(answer.result->filePath == "file://" + dir + "/s.txt");
  CHECK(copy.wait(30s, &answer).ok() && answer.error && answer.error->domain == "com.orvel.zeb.privileged.copyLogFiles");
  CHECK(answer.result && answer.result->fileErrors &&
        answer.result->fileErrors->files.at("/var/log/absent.log") == "File doesn't exist");
  CHECK(delegate.samples == 1 && delegate.received == 3);

  CHECK(client->runSysdiagnoseWithDestination("relative/dir").failure() == ZEB::Failure::kInvalidArgument);
  auto never = client->expect(ZEB::Request::kTMDiagnose);
  CHECK(never.wait(50ms).failure() == ZEB::Failure::kTimedOut);

  auto stopped = client->expect(ZEB::Request::kStopDaemon);
  CHECK(client->stopDaemon().ok());
  CHECK(stopped.wait(30s).ok());
  CHECK(never.wait(1s).failure() == ZEB::Failure::kClosed);
  CHECK(!client->isOpen() && client->performReadyCheck().failure() == ZEB::Failure::kClosed);
  CHECK(delegate.closes == 1);
  return 0;
}

// A delegate that destroys its client from inside a callback.
class SelfDestroying final : public ZEB::Delegate {
 public:
  std::unique_ptr<ZEB::Client> client;
  std::atomic<bool> sent{false}, done{false};
  void helperReadyWithVersion(const std::string&) override {
    // The main thread's call may still be under way: the client is not destroyed under it.
    for (int i = 0; i < 5000 && !sent; ++i) std::this_thread::sleep_for(1ms);
    client.reset();
    done = true;
  }
};

int destroyedInCallback(const std::string& socket, const std::string&) {
  SelfDestroying delegate;
  ZEB::Client::Options options;
  options.socketPath = socket;
  delegate.client = ZEB::Client::connect(options, &delegate);
  CHECK(delegate.client);
  ZEB::Client* client = delegate.client.get();
  const bool sent = client->performReadyCheck().ok();
  delegate.sent = true;
  CHECK(sent);
  for (int i = 0; i < 2000 && !delegate.done; ++i) std::this_thread::sleep_for(5ms);
  CHECK(delegate.done);
  return 0;
}

void countCallback(void* context, const zeb_answer* answer) {
  if (std::strcmp(zeb_answer_selector(answer), "helperReadyWithVersion:") == 0) ++*static_cast<std::atomic<int>*>(context);
}

int cInterface(const std::string& socket, const std::string& dir) {
  std::atomic<int> readies{0};
  zeb_client* client = nullptr;
  CHECK(zeb_client_connect(socket.c_str(), 0, countCallback, &readies, &client, nullptr) == ZEB_OK);
  zeb_expectation* ready = zeb_client_expect(client, ZEB_REQUEST_READY_CHECK);
  zeb_expectation* copy = zeb_client_expect(client, ZEB_REQUEST_COPY_LOG_FILES);
  const char* sources[] = {"/var/log/absent.log"};
  const std::string target = dir + "/a.log";
  const char* destinations[] = {target.c_str()};
  CHECK(zeb_client_copy_log_files(client, sources, destinations, 1) == ZEB_OK);
  CHECK(zeb_client_perform_ready_check(client) == ZEB_OK);
  CHECK(zeb_client_run_sysdiagnose(client, "relative") == ZEB_INVALID_ARGUMENT);
  zeb_answer* answer = nullptr;
  CHECK(zeb_expectation_wait(ready, 30000, &answer) == ZEB_OK && std::string(zeb_answer_text(answer)) == "0.84");
  zeb_answer_free(answer);
  CHECK(zeb_expectation_wait(copy, 30000, &answer) == ZEB_OK && zeb_answer_has_error(answer));
  const char* source = nullptr;
  const char* why = nullptr;
  CHECK(zeb_answer_file_error_count(answer) == 1 && zeb_answer_file_error(answer, 0, &source, &why));
  CHECK(std::string(source) == "/var/log/absent.log" && std::string(why) == "File doesn't exist");
  CHECK(zeb_answer_file_path(answer) == nullptr && !zeb_answer_pid(answer, nullptr));
  zeb_answer_free(answer);
  zeb_expectation_free(ready);
  zeb_expectation_free(copy);
  CHECK(readies == 1);
  zeb_client_free(client);
  return 0;
}

int runScenario(int argc, char** argv) {
  if (argc != 5 || std::string(argv[1]) != "--zeb-lib") return -1;
  const std::string name = argv[2];
  if (name == "typed") return typedAnswers(argv[3], argv[4]);
  if (name == "destroyed") return destroyedInCallback(argv[3], argv[4]);
  if (name == "c") return cInterface(argv[3], argv[4]);
  return 2;
}

class AdmittedClient : public ::testing::TestWithParam<const char*> {};

TEST_P(AdmittedClient, Scenario) {
  DaemonHarness d;
  const std::string file = d.rootDir() + "/usr/bin/sample";
  fs::create_directories(fs::path(file).parent_path());
  std::ofstream(file) << "#!/bin/sh\necho sampled\n";
  fs::permissions(file, fs::perms(0755));
  TempDir out;
  const std::string client = d.signedCopy(fs::read_symlink("/proc/self/exe").string(), "com.orvel.tessel.VellumDrift");
  const ProcessResult r = run({client, "--zeb-lib", GetParam(), d.socketPath(), out.path()}, 60s);
  EXPECT_EQ(r.status, 0) << r.err << "\n" << d.log();
}

INSTANTIATE_TEST_SUITE_P(Library, AdmittedClient, ::testing::Values("typed", "destroyed", "c"));

}  // namespace
}  // namespace zebtest

int main(int argc, char** argv) {
  if (int status = zebtest::runScenario(argc, argv); status >= 0) return status;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
