#include "platform/codesign/CodeObject.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <tuple>

#include "platform/codesign/Ed25519.h"

namespace zeb::codesign {
namespace {

constexpr std::size_t kMaxProcFileBytes = 4 * 1024 * 1024;
constexpr std::size_t kMaxAnchorFileBytes = 16 * 1024;
constexpr std::size_t kMaxCachedDigests = 256;

bool pidfdAlive(int pidfd) { return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0; }

std::optional<std::string> readAllAt(int dirfd, const char* name, std::size_t max) {
  UniqueFd fd(::openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
  if (!fd) return std::nullopt;
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > max) return std::nullopt;
  }
  return out;
}

using CacheKey = std::tuple<dev_t, ino_t, off_t, long long, long long, long long, long long>;

CacheKey keyOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

std::mutex gCacheMutex;
std::map<CacheKey, Digest>& digestCache() {
  static std::map<CacheKey, Digest> cache;
  return cache;
}

}  // namespace

void clearDigestCache() {
  std::lock_guard lock(gCacheMutex);
  digestCache().clear();
}

Result<std::unique_ptr<CodeObject>> CodeObject::forProcess(pid_t pid, int pidfd) {
  if (pid <= 0 || pidfd < 0) return secError(errSecCSNoSuchCode, "no such process");
  const std::string dir = "/proc/" + std::to_string(pid);
  UniqueFd procDir(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  // Alive after the open: the entry we hold is the pinned process, not a successor with its pid.
  if (!procDir || !pidfdAlive(pidfd)) return secError(errSecCSNoSuchCode, "process gone");
  UniqueFd exe(::openat(procDir.get(), "exe", O_RDONLY | O_CLOEXEC));
  if (!exe) return secError(errSecCSNoSuchCode, "executable can't be opened");
  std::unique_ptr<CodeObject> code(new CodeObject());
  code->executable_ = std::move(exe);
  code->procDir_ = std::move(procDir);
  code->pidfd_ = pidfd;
  code->pid_ = pid;
  return code;
}

Result<std::unique_ptr<CodeObject>> CodeObject::forFile(const std::string& path) {
  UniqueFd exe(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!exe) return secError(errSecCSNoSuchCode, "executable can't be opened");
  std::unique_ptr<CodeObject> code(new CodeObject());
  code->executable_ = std::move(exe);
  return code;
}

std::optional<SignatureBlock> CodeObject::signature() const {
  struct stat st {};
  if (::fstat(executable_.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::size_t tailLen = static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxBlockBytes));
  std::string tail(tailLen, '\0');
  if (::pread(executable_.get(), tail.data(), tailLen, static_cast<off_t>(size - tailLen)) != static_cast<ssize_t>(tailLen))
    return std::nullopt;
  auto located = parseSignatureBlock(tail, size);
  if (!located) return std::nullopt;
  return located->block;
}

Status CodeObject::checkValidity(const Requirement* requirement, const std::string& anchorsDir) const {
  struct stat before {};
  if (::fstat(executable_.get(), &before) != 0 || !S_ISREG(before.st_mode)) {
    return secError(errSecCSNoSuchCode, "executable is not a regular file");
  }
  const auto size = static_cast<std::uint64_t>(before.st_size);
  if (size > kMaxExecutableBytes) {
    return secError(errSecCSSignatureFailed, "executable too large");
  }
  const std::size_t tailLen = static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxBlockBytes));
  std::string tail(tailLen, '\0');
  if (::pread(executable_.get(), tail.data(), tailLen, static_cast<off_t>(size - tailLen)) != static_cast<ssize_t>(tailLen)) {
    return secError(errSecCSNoSuchCode, "executable unreadable");
  }
  auto located = parseSignatureBlock(tail, size);
  if (!located) {
    return secError(errSecCSUnsigned, "no signature");
  }

  // Cheap checks first: a block copied from a real client onto another file fails here, before a
  // byte of the file is hashed.
  const SignatureBlock& sig = located->block;
  if (sig.signedLength != located->contentSize) {
    return secError(errSecCSSignatureFailed, "signed length does not match the file");
  }
  UniqueFd anchors(::open(anchorsDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  auto pem = anchors ? readAllAt(anchors.get(), (sig.anchor + ".pub").c_str(), kMaxAnchorFileBytes) : std::nullopt;
  if (!pem) {
    return secError(errSecCSSignatureFailed, "unknown anchor " + sig.anchor);
  }
  auto publicKey = loadPublicKeyPEM(*pem);
  if (!publicKey.ok() || !verify(publicKey->get(), signedMessage(sig), sig.signature)) {
    return secError(errSecCSSignatureFailed, "signature does not verify");
  }

  // Then the file itself, hashed once per version of it.
  const CacheKey key = keyOf(before);
  std::optional<Digest> digest;
  {
    std::lock_guard lock(gCacheMutex);
    if (auto it = digestCache().find(key); it != digestCache().end()) digest = it->second;
  }
  if (!digest) {
    auto computed = sha512OfFile(executable_.get(), located->contentSize);
    struct stat after {};
    if (!computed.ok() || ::fstat(executable_.get(), &after) != 0 || keyOf(after) != key) {
      return secError(errSecCSSignatureFailed, "executable changed while it was read");
    }
    digest = *computed;
    std::lock_guard lock(gCacheMutex);
    if (digestCache().size() >= kMaxCachedDigests) digestCache().clear();
    digestCache().emplace(key, *digest);
  }
  if (*digest != sig.digest) {
    return secError(errSecCSSignatureFailed, "executable differs from what was signed");
  }

  if (procDir_) {
    if (auto s = checkProcess(); !s.ok()) return s;
  }
  if (requirement && !requirement->isSatisfiedBy(SigningInfo{sig.identifier, sig.anchor})) {
    return secError(errSecCSReqFailed, "requirement not satisfied");
  }
  return Ok{};
}

Status CodeObject::checkProcess() const {
  const int dir = procDir_.get();

  auto status = readAllAt(dir, "status", kMaxProcFileBytes);
  if (!status) return secError(errSecCSNoSuchCode, "process gone");
  const auto tracer = status->find("\nTracerPid:");
  if (tracer == std::string::npos || std::strtol(status->c_str() + tracer + 11, nullptr, 10) != 0)
    return secError(errSecCSSignatureFailed, "process is traced");

  char theirs[128] = {}, ours[128] = {};
  if (::readlinkat(dir, "ns/user", theirs, sizeof theirs - 1) <= 0 ||
      ::readlink("/proc/self/ns/user", ours, sizeof ours - 1) <= 0 || std::strcmp(theirs, ours) != 0)
    return secError(errSecCSSignatureFailed, "process lives in another user namespace");

  auto environ = readAllAt(dir, "environ", kMaxProcFileBytes);
  if (!environ) return secError(errSecCSSignatureFailed, "environment unreadable");
  for (std::size_t at = 0; at < environ->size();) {
    const std::size_t end = std::min(environ->find('\0', at), environ->size());
    const std::string_view var(environ->data() + at, end - at);
    for (std::string_view bad : {"LD_PRELOAD=", "LD_AUDIT=", "LD_LIBRARY_PATH="})
      if (var.substr(0, bad.size()) == bad) return secError(errSecCSSignatureFailed, "environment injects code");
    at = end + 1;
  }

  struct stat exe {};
  ::fstat(executable_.get(), &exe);
  auto maps = readAllAt(dir, "maps", kMaxProcFileBytes);
  if (!maps) return secError(errSecCSSignatureFailed, "mappings unreadable");
  for (std::size_t at = 0; at < maps->size();) {
    const std::size_t end = std::min(maps->find('\n', at), maps->size());
    const std::string line = maps->substr(at, end - at);
    at = end + 1;
    char range[64] = {}, perms[8] = {};
    unsigned long long offset = 0, inode = 0;
    unsigned major = 0, minor = 0;
    if (std::sscanf(line.c_str(), "%63s %7s %llx %x:%x %llu", range, perms, &offset, &major, &minor, &inode) != 6) continue;
    if (perms[2] != 'x' || inode == 0) continue;
    // Open the mapped file itself: a path in another mount namespace could name something else.
    UniqueFd mapped(::openat(dir, (std::string("map_files/") + range).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!mapped || ::fstat(mapped.get(), &st) != 0) return secError(errSecCSSignatureFailed, "mapping unreadable");
    if (st.st_dev == exe.st_dev && st.st_ino == exe.st_ino) continue;
    const bool foreignOwner = st.st_uid != 0;
    const bool writable = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0);
    if (foreignOwner || writable) {
      const auto slash = line.find('/');
      return secError(errSecCSSignatureFailed,
                      "maps code not protected by root: " + (slash == std::string::npos ? line : line.substr(slash)));
    }
  }

  if (!pidfdAlive(pidfd_)) return secError(errSecCSNoSuchCode, "process gone");
  return Ok{};
}

}  // namespace zeb::codesign
