// Owners of the descriptors and libssh2 handles that a connection holds. Each handle has exactly one
// owner, which releases it in one place (its reset); they are move-only. Internal to the library.
#pragma once

struct _LIBSSH2_SESSION;
struct _LIBSSH2_SFTP;
struct _LIBSSH2_SFTP_HANDLE;

// A file descriptor, closed when its owner ends.
class FRXUniqueFd {
public:
  FRXUniqueFd() = default;
  explicit FRXUniqueFd(int fd) : fd_(fd) {}
  FRXUniqueFd(FRXUniqueFd&& other) noexcept : fd_(other.release()) {}
  FRXUniqueFd& operator=(FRXUniqueFd&& other) noexcept;
  FRXUniqueFd(const FRXUniqueFd&) = delete;
  FRXUniqueFd& operator=(const FRXUniqueFd&) = delete;
  ~FRXUniqueFd() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor; returns 0, or the errno of a failed close.
  int reset(int fd = -1);

private:
  int fd_ = -1;
};

// One counted use of libssh2's process-wide state: the first use runs libssh2_init, the last
// libssh2_exit, so one connection's end never pulls the library from under another.
class FRXLibraryReference {
public:
  FRXLibraryReference() = default;
  FRXLibraryReference(FRXLibraryReference&& other) noexcept : held_(other.held_) { other.held_ = false; }
  FRXLibraryReference& operator=(FRXLibraryReference&& other) noexcept;
  FRXLibraryReference(const FRXLibraryReference&) = delete;
  FRXLibraryReference& operator=(const FRXLibraryReference&) = delete;
  ~FRXLibraryReference() { reset(); }

  // Takes a reference; false when libssh2_init failed.
  [[nodiscard]] bool acquire();
  void reset();
  [[nodiscard]] bool held() const { return held_; }

private:
  bool held_ = false;
};

// An SSH session. Released by ending it ("Normal Shutdown") and freeing it.
class FRXSessionHandle {
public:
  FRXSessionHandle() = default;
  explicit FRXSessionHandle(_LIBSSH2_SESSION* session) : session_(session) {}
  FRXSessionHandle(FRXSessionHandle&& other) noexcept : session_(other.session_) { other.session_ = nullptr; }
  FRXSessionHandle& operator=(FRXSessionHandle&& other) noexcept;
  FRXSessionHandle(const FRXSessionHandle&) = delete;
  FRXSessionHandle& operator=(const FRXSessionHandle&) = delete;
  ~FRXSessionHandle() { reset(); }

  [[nodiscard]] _LIBSSH2_SESSION* get() const { return session_; }
  explicit operator bool() const { return session_ != nullptr; }
  void reset();

private:
  _LIBSSH2_SESSION* session_ = nullptr;
};

// An SFTP channel, shut down when released. Must be released before its session.
class FRXSFTPChannelHandle {
public:
  FRXSFTPChannelHandle() = default;
  explicit FRXSFTPChannelHandle(_LIBSSH2_SFTP* channel) : channel_(channel) {}
  FRXSFTPChannelHandle(FRXSFTPChannelHandle&& other) noexcept : channel_(other.channel_) { other.channel_ = nullptr; }
  FRXSFTPChannelHandle& operator=(FRXSFTPChannelHandle&& other) noexcept;
  FRXSFTPChannelHandle(const FRXSFTPChannelHandle&) = delete;
  FRXSFTPChannelHandle& operator=(const FRXSFTPChannelHandle&) = delete;
  ~FRXSFTPChannelHandle() { reset(); }

  [[nodiscard]] _LIBSSH2_SFTP* get() const { return channel_; }
  explicit operator bool() const { return channel_ != nullptr; }
  void reset();

private:
  _LIBSSH2_SFTP* channel_ = nullptr;
};

// An open remote file or directory, closed when released.
class FRXSFTPFileHandle {
public:
  FRXSFTPFileHandle() = default;
  explicit FRXSFTPFileHandle(_LIBSSH2_SFTP_HANDLE* handle) : handle_(handle) {}
  FRXSFTPFileHandle(FRXSFTPFileHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  FRXSFTPFileHandle& operator=(FRXSFTPFileHandle&& other) noexcept;
  FRXSFTPFileHandle(const FRXSFTPFileHandle&) = delete;
  FRXSFTPFileHandle& operator=(const FRXSFTPFileHandle&) = delete;
  ~FRXSFTPFileHandle() { reset(); }

  [[nodiscard]] _LIBSSH2_SFTP_HANDLE* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Closes the handle; returns libssh2's result of the close (0 when nothing was open).
  int reset();
  // Gives the handle up without closing it (the caller closed it).
  _LIBSSH2_SFTP_HANDLE* release() {
    _LIBSSH2_SFTP_HANDLE* handle = handle_;
    handle_ = nullptr;
    return handle;
  }

private:
  _LIBSSH2_SFTP_HANDLE* handle_ = nullptr;
};
