#include "FilesTestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/filesystem/PathWalk.h"
#include "platform/foundation/Log.h"

namespace zeb::files {

ScratchTree::ScratchTree() {
  char templ[] = "/tmp/zeb-files-test-XXXXXX";
  const char* made = ::mkdtemp(templ);
  if (!made) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  root_ = made ? made : "/nonexistent";
  ::chmod(root_.c_str(), 0755);
}

ScratchTree::~ScratchTree() {
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);  // never follows links
}

std::string ScratchTree::makeDir(std::string_view relative, uid_t owner, mode_t mode) const {
  const std::string p = path(relative);
  EXPECT_EQ(::mkdir(p.c_str(), mode), 0) << p << ": " << std::strerror(errno);
  EXPECT_EQ(::chmod(p.c_str(), mode), 0);
  EXPECT_EQ(::lchown(p.c_str(), owner, owner == 0 ? 0 : kClientGid), 0);
  return p;
}

std::string ScratchTree::makeFile(std::string_view relative, std::string_view contents, uid_t owner, mode_t mode) const {
  const std::string p = path(relative);
  const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  EXPECT_GE(fd, 0) << p << ": " << std::strerror(errno);
  if (fd >= 0) {
    EXPECT_EQ(::write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    EXPECT_EQ(::fchmod(fd, mode), 0);
    ::close(fd);
  }
  EXPECT_EQ(::lchown(p.c_str(), owner, owner == 0 ? 0 : kClientGid), 0);
  return p;
}

std::string ScratchTree::makeLink(std::string_view relative, std::string_view target, uid_t owner) const {
  const std::string p = path(relative);
  EXPECT_EQ(::symlink(std::string(target).c_str(), p.c_str()), 0) << p << ": " << std::strerror(errno);
  EXPECT_EQ(::lchown(p.c_str(), owner, owner == 0 ? 0 : kClientGid), 0);
  return p;
}

UniqueFd pinnedItem(const std::string& path) {
  Result<WalkedItem> item = walkPath(path, FinalLink::kFollow, FileOperation::kRead);
  EXPECT_TRUE(item.ok()) << path;
  return item ? std::move(item->fd) : UniqueFd();
}

bool asUser(uid_t uid, gid_t gid, const std::function<bool()>& action) {
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(2);
    ::_exit(action() ? 0 : 1);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

LogCapture::LogCapture() {
  char templ[] = "/tmp/zeb-files-log-XXXXXX";
  file_ = ::mkostemp(templ, O_CLOEXEC);
  ::unlink(templ);
  std::fflush(stderr);
  savedStderr_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  ::dup2(file_, STDERR_FILENO);
  openSystemLog(/*echoToStderr=*/true);
}

LogCapture::~LogCapture() {
  std::fflush(stderr);
  ::dup2(savedStderr_, STDERR_FILENO);
  ::close(savedStderr_);
  ::close(file_);
}

std::string LogCapture::text() const {
  std::string out;
  char buffer[4096];
  off_t offset = 0;
  ssize_t n = 0;
  while ((n = ::pread(file_, buffer, sizeof buffer, offset)) > 0) {
    out.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  return out;
}

TmpfsMount::TmpfsMount(const std::string& where, std::size_t bytes) : where_(where) {
  ::mkdir(where_.c_str(), 0755);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Owner ownerOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  return {st.st_uid, st.st_gid};
}

}  // namespace zeb::files
