#include "FRXHandles.h"

#include <libssh2.h>
#include <libssh2_sftp.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace {

std::mutex libraryMutex;
long libraryUsers = 0;

}  // namespace

FRXUniqueFd& FRXUniqueFd::operator=(FRXUniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int FRXUniqueFd::reset(int fd) {
  int result = 0;
  if (fd_ >= 0 && ::close(fd_) != 0 && errno != EINTR) result = errno;
  fd_ = fd;
  return result;
}

FRXLibraryReference& FRXLibraryReference::operator=(FRXLibraryReference&& other) noexcept {
  if (this != &other) {
    reset();
    held_ = other.held_;
    other.held_ = false;
  }
  return *this;
}

bool FRXLibraryReference::acquire() {
  if (held_) return true;
  std::lock_guard lock(libraryMutex);
  if (libraryUsers == 0 && libssh2_init(0) != 0) return false;
  ++libraryUsers;
  held_ = true;
  return true;
}

void FRXLibraryReference::reset() {
  if (!held_) return;
  held_ = false;
  std::lock_guard lock(libraryMutex);
  if (--libraryUsers == 0) libssh2_exit();
}

FRXSessionHandle& FRXSessionHandle::operator=(FRXSessionHandle&& other) noexcept {
  if (this != &other) {
    reset();
    session_ = other.session_;
    other.session_ = nullptr;
  }
  return *this;
}

void FRXSessionHandle::reset() {
  if (session_ == nullptr) return;
  libssh2_session_disconnect_ex(session_, SSH_DISCONNECT_BY_APPLICATION, "Normal Shutdown", "");
  libssh2_session_free(session_);
  session_ = nullptr;
}

FRXSFTPChannelHandle& FRXSFTPChannelHandle::operator=(FRXSFTPChannelHandle&& other) noexcept {
  if (this != &other) {
    reset();
    channel_ = other.channel_;
    other.channel_ = nullptr;
  }
  return *this;
}

void FRXSFTPChannelHandle::reset() {
  if (channel_ == nullptr) return;
  libssh2_sftp_shutdown(channel_);
  channel_ = nullptr;
}

FRXSFTPFileHandle& FRXSFTPFileHandle::operator=(FRXSFTPFileHandle&& other) noexcept {
  if (this != &other) {
    reset();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

int FRXSFTPFileHandle::reset() {
  if (handle_ == nullptr) return 0;
  int rc = libssh2_sftp_close_handle(handle_);
  handle_ = nullptr;
  return rc;
}
