#include "platform/task/Task.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <thread>

extern char** environ;

namespace zeb {
namespace {

#ifndef P_PIDFD
constexpr idtype_t kPidfdIdType = static_cast<idtype_t>(3);
#else
constexpr idtype_t kPidfdIdType = P_PIDFD;
#endif

int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttr {
  posix_spawnattr_t attr;
  SpawnAttr() { posix_spawnattr_init(&attr); }
  ~SpawnAttr() { posix_spawnattr_destroy(&attr); }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
};

// Reads what is there now; false at end of file or on a hard error.
bool drainOnce(int fd, CapturedStream& into) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(std::string_view(buf, static_cast<std::size_t>(n)));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN;
  }
}

}  // namespace

std::shared_ptr<Task> Task::create() { return std::shared_ptr<Task>(new Task()); }

Task::~Task() = default;

std::string Task::toolName() const {
  const auto pos = launchPath_.find_last_of('/');
  return pos == std::string::npos ? launchPath_ : launchPath_.substr(pos + 1);
}

Status Task::launch() {
  if (launched_.load()) return Error::withDescription("NSInvalidArgumentException", 1, "task already launched");

  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if (stdoutMode_ == Stream::kCapture && ::pipe2(outPipe, O_CLOEXEC) != 0) return posixError(errno, "pipe");
  UniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);
  if (stderrMode_ == Stream::kCapture && ::pipe2(errPipe, O_CLOEXEC) != 0) return posixError(errno, "pipe");
  UniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);

  SpawnActions fa;
  if (outWrite) posix_spawn_file_actions_adddup2(&fa.actions, outWrite.get(), STDOUT_FILENO);
  if (errWrite) posix_spawn_file_actions_adddup2(&fa.actions, errWrite.get(), STDERR_FILENO);
  // Dup onto itself clears close-on-exec for just this child.
  for (int fd : inherited_) posix_spawn_file_actions_adddup2(&fa.actions, fd, fd);
  if (!currentDirectory_.empty()) posix_spawn_file_actions_addchdir_np(&fa.actions, currentDirectory_.c_str());

  SpawnAttr sa;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&sa.attr, &none);
  posix_spawnattr_setsigdefault(&sa.attr, &all);
  // A group of its own, so that a tool past its time limit can be ended with all it started.
  posix_spawnattr_setpgroup(&sa.attr, 0);
  posix_spawnattr_setflags(&sa.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(launchPath_.c_str()));
  for (auto& a : arguments_) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  std::vector<char*> envp;
  if (environment_) {
    for (const auto& [k, v] : *environment_) envStrings.push_back(k + "=" + v);
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
  }

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, launchPath_.c_str(), &fa.actions, &sa.attr, argv.data(),
                               environment_ ? envp.data() : environ);
  if (rc != 0) return cocoaFileError(rc, launchPath_, FileOperation::kRead);

  // The child is ours and unreaped, so its pid can't have been reused yet.
  UniqueFd pidfd(pidfdOpen(pid));
  if (!pidfd) {
    const int e = errno;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return posixError(e, "pidfd_open");
  }
  outWrite.reset();
  errWrite.reset();
  if (outRead) ::fcntl(outRead.get(), F_SETFL, O_NONBLOCK);
  if (errRead) ::fcntl(errRead.get(), F_SETFL, O_NONBLOCK);

  pid_ = pid;
  pidfd_ = std::move(pidfd);
  running_.store(true);
  launched_.store(true);
  std::thread([self = shared_from_this(), o = std::move(outRead), e = std::move(errRead)]() mutable {
    self->monitor(std::move(o), std::move(e));
  }).detach();
  return Ok{};
}

void Task::monitor(UniqueFd out, UniqueFd err) {
  using Clock = std::chrono::steady_clock;
  bool outOpen = out.valid(), errOpen = err.valid();
  // The next step against a tool past its limit: SIGTERM at the limit, SIGKILL after the grace.
  std::optional<Clock::time_point> nextSignal;
  if (timeLimit_.count() > 0) nextSignal = Clock::now() + timeLimit_;
  for (;;) {
    pollfd fds[3] = {{pidfd_.get(), POLLIN, 0}, {out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
    if (!outOpen) fds[1].fd = -1;
    if (!errOpen) fds[2].fd = -1;
    int waitMs = -1;
    if (nextSignal) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*nextSignal - Clock::now()).count();
      waitMs = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
    }
    const int ready = ::poll(fds, 3, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0 && nextSignal && Clock::now() >= *nextSignal) {
      if (!timedOut_.exchange(true)) {
        signalGroup(SIGTERM);
        signalGroup(SIGCONT);  // a stopped tool acts on SIGTERM only once it runs again
        nextSignal = Clock::now() + kKillGrace;
      } else {
        signalGroup(SIGKILL);
        nextSignal.reset();
      }
      continue;
    }
    if (outOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) outOpen = drainOnce(out.get(), stdout_);
    if (errOpen && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) errOpen = drainOnce(err.get(), stderr_);
    if (fds[0].revents & POLLIN) break;
  }

  siginfo_t info{};
  {
    std::lock_guard lock(signalMutex_);
    while (::waitid(kPidfdIdType, static_cast<id_t>(pidfd_.get()), &info, WEXITED) != 0 && errno == EINTR) {
    }
    running_.store(false);
  }
  if (info.si_code == CLD_EXITED) {
    terminationStatus_ = info.si_status;
  } else {
    terminationStatus_ = info.si_status;
    bySignal_ = true;
  }
  // What the pipes still hold; a grandchild that keeps them open is not waited for.
  if (outOpen) drainOnce(out.get(), stdout_);
  if (errOpen) drainOnce(err.get(), stderr_);
  out.reset();
  err.reset();

  TerminationHandler handler = std::move(handler_);
  handler_ = nullptr;
  if (handler) handler(*this);
  {
    std::lock_guard lock(doneMutex_);
    done_ = true;
  }
  doneCv_.notify_all();
}

void Task::sendSignal(int sig) {
  std::lock_guard lock(signalMutex_);
  if (!launched_.load() || !running_.load()) return;
  ::syscall(SYS_pidfd_send_signal, pidfd_.get(), sig, nullptr, 0);
}

void Task::signalGroup(int sig) {
  std::lock_guard lock(signalMutex_);
  if (!launched_.load() || !running_.load()) return;
  // The leader is unreaped (we hold it by pidfd), so its pid still names this group.
  ::kill(-pid_, sig);
}

void Task::suspend() { sendSignal(SIGSTOP); }
void Task::resume() { sendSignal(SIGCONT); }
void Task::terminate() { sendSignal(SIGTERM); }

void Task::terminateGroup() {
  std::lock_guard lock(signalMutex_);
  if (!launched_.load() || !running_.load()) return;
  ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGTERM, nullptr, 0);
  ::kill(-pid_, SIGTERM);
}

void Task::waitUntilExit() {
  if (!launched_.load()) return;
  std::unique_lock lock(doneMutex_);
  doneCv_.wait(lock, [&] { return done_; });
}

}  // namespace zeb
