#include "tests/support/DaemonHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zebtest {
namespace fs = std::filesystem;

std::string buildDir() { return ZEB_BUILD_DIR; }
std::string daemonPath() { return buildDir() + "/helper/com.orvel.tessel.zeb.privileged"; }
std::string zebctlPath() { return buildDir() + "/client/zebctl"; }
std::string codesignPath() { return buildDir() + "/tools/zeb-codesign/zeb-codesign"; }

namespace {

int decodeStatus(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

}  // namespace

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

uid_t ownerOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extraEnv) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    if (extraEnv.count(s.substr(0, s.find('=')))) continue;
    envStrings.push_back(s);
  }
  for (const auto& [k, v] : extraEnv) envStrings.push_back(k + "=" + v);
  return envStrings;
}

ProcessResult run(const std::vector<std::string>& argv, std::chrono::seconds timeout,
                  const std::map<std::string, std::string>& extraEnv) {
  TempDir tmp;
  const std::string outPath = tmp.path() + "/out", errPath = tmp.path() + "/err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> envStrings = environmentWith(extraEnv);
  std::vector<char*> envp, args;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = argv;
  for (auto& a : argCopy) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = 0;
  // A program just written may still be open for writing in a child another thread is starting.
  for (int attempt = 0; attempt < 100; ++attempt) {
    rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
    if (rc != ETXTBSY) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  posix_spawn_file_actions_destroy(&fa);
  ProcessResult r;
  if (rc != 0) {
    r.err = std::string("spawn failed: ") + std::strerror(rc);
    return r;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int raw = 0;
  for (;;) {
    const pid_t w = waitpid(pid, &raw, WNOHANG);
    if (w == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &raw, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  r.status = decodeStatus(raw);
  r.out = slurp(outPath);
  r.err = slurp(errPath);
  return r;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/zebtest.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

DaemonHarness::DaemonHarness(std::vector<std::string> extraArgs, bool startNow) : extraArgs_(std::move(extraArgs)) {
  fs::create_directories(anchorsDir());
  fs::create_directories(dir() + "/keys");
  fs::create_directories(rootDir());
  // The test anchor, and a key of a maker the daemon doesn't know.
  run({codesignPath(), "keygen", "orvel", anchorsDir()});
  run({codesignPath(), "keygen", "stranger", dir() + "/keys"});
  if (startNow) start();
}

DaemonHarness::~DaemonHarness() {
  // Whatever a test did, no request may end unanswered or be answered twice.
  const std::string text = log();
  const auto bug = text.find("BUG: ");
  EXPECT_EQ(bug, std::string::npos) << text.substr(bug == std::string::npos ? 0 : bug, 300);
  if (pid_ > 0 && !exitStatus_) {
    kill(pid_, SIGKILL);
    int raw = 0;
    waitpid(pid_, &raw, 0);
  }
}

void DaemonHarness::start() {
  std::vector<std::string> argv = {daemonPath(), "--socket", socketPath(), "--anchors", anchorsDir(),
                                   "--root", rootDir(), "--work-dir", workDir(), "--log-stderr"};
  argv.insert(argv.end(), extraArgs_.begin(), extraArgs_.end());
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, (dir() + "/daemon.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, (dir() + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  exitStatus_.reset();
  const std::size_t logSoFar = log().size();  // a restart must find its own line, not the last run's
  std::vector<std::string> envStrings = environmentWith(environment_);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  waitForLog("Listening on", std::chrono::seconds(10), logSoFar);
}

std::string DaemonHarness::keyPath(const std::string& anchor) const {
  return anchor == "orvel" ? anchorsDir() + "/orvel.key" : dir() + "/keys/" + anchor + ".key";
}

std::string DaemonHarness::signedCopy(const std::string& executable, const std::string& identifier,
                                      const std::string& key, const std::string& name) {
  static std::atomic<int> counter{0};
  const std::string out = dir() + "/" + (name.empty() ? "client" + std::to_string(++counter) : name);
  {
    // Close-on-exec, so no child started meanwhile keeps the new program open for writing.
    const std::string bytes = slurp(executable);
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("can't copy " + executable);
    ::close(fd);
  }
  ::chmod(out.c_str(), 0755);
  auto r = run({codesignPath(), "sign", "--key", key.empty() ? keyPath("orvel") : key, "--identifier", identifier, out});
  if (r.status != 0) throw std::runtime_error("signing failed: " + r.err);
  return out;
}

const std::string& DaemonHarness::client() {
  std::lock_guard lock(clientMutex_);
  if (client_.empty()) client_ = signedCopy(zebctlPath(), "com.orvel.tessel.VellumDrift", {}, "zebctl");
  return client_;
}

ProcessResult DaemonHarness::zebctl(const std::vector<std::string>& args, std::chrono::seconds timeout) {
  std::vector<std::string> argv = {client(), "--socket", socketPath(), "--timeout", std::to_string(timeout.count())};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, timeout + std::chrono::seconds(5));
}

std::string DaemonHarness::log() const { return slurp(dir() + "/daemon.log"); }

bool DaemonHarness::waitForLog(const std::string& needle, std::chrono::milliseconds timeout, std::size_t from) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    const std::string text = log();
    if (text.size() > from && text.find(needle, from) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

std::optional<int> DaemonHarness::waitForExit(std::chrono::milliseconds timeout) {
  if (exitStatus_) return exitStatus_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
      exitStatus_ = decodeStatus(raw);
      return exitStatus_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

bool DaemonHarness::running() { return !waitForExit(std::chrono::milliseconds(0)).has_value(); }

}  // namespace zebtest
