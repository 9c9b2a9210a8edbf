// The two transfers of FRXSFTP: upload and download in chunks of FRXSFTP::chunkSize bytes, with a
// speed text and a progress report to the delegate after every chunk.
#include <Ferrix/FRXSFTP.h>
#include <Ferrix/FRXTransferMath.h>

#include "FRXInternal.h"
#include "FRXLocalFile.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// Upload flags: created when missing, emptied when present (kept when resuming).
constexpr unsigned long kUploadFlags = LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC;
constexpr unsigned long kResumeFlags = LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT;
// Pipelined upload: the bytes handed to libssh2 at once, which it sends as many requests before
// waiting for the first answer. Refilled when half has been acknowledged.
constexpr std::size_t kUploadWindow = 4u << 20;
// Pipelined download: libssh2 keeps up to four times the buffer asked for in flight.
constexpr std::size_t kDownloadBuffer = 1u << 20;
// A chunk never takes zero time; keeps the speed finite on a coarse clock.
constexpr double kShortestChunkSeconds = 1e-9;

FRXError sftpError(long code, std::string message) {
  return frx::makeError(FRXSFTPErrorDomain, code, std::move(message));
}

// The clock at the start of a chunk, read only while speed texts are wanted.
std::optional<double> chunkStart() {
  return shouldUpdateSpeed.load(std::memory_order_relaxed) != 0 ? frx::now() : std::nullopt;
}

std::optional<double> elapsedSince(std::optional<double> start) {
  if (!start) return std::nullopt;
  std::optional<double> end = frx::now();
  if (!end) return std::nullopt;
  return std::max(*end - *start, kShortestChunkSeconds);
}

bool isRegularOrUnknown(const LIBSSH2_SFTP_ATTRIBUTES& attributes) {
  return (attributes.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) == 0 || LIBSSH2_SFTP_S_ISREG(attributes.permissions);
}

// Releases the transfer's remote file from the object's view when the transfer ends.
class TransferHandleScope {
public:
  TransferHandleScope(FRXSFTPFileHandle*& slot, FRXSFTPFileHandle& handle) : slot_(slot) { slot_ = &handle; }
  TransferHandleScope(const TransferHandleScope&) = delete;
  TransferHandleScope& operator=(const TransferHandleScope&) = delete;
  ~TransferHandleScope() { slot_ = nullptr; }

private:
  FRXSFTPFileHandle*& slot_;
};

}  // namespace

void FRXSFTP::endTransfer() {
  transferHandle_ = nullptr;
  if (disconnectPending_) disconnect();
}

bool FRXSFTP::transferStopped() const {
  return !isConnected() || cancelRequested_.load(std::memory_order_relaxed);
}

// Reports for pipelined transfers: acknowledged bytes come in pieces of any size, and the delegate
// hears one speed and one progress report for every chunkSize bytes of them, in order.
class FRXChunkReporter {
public:
  FRXChunkReporter(std::uint64_t start, std::uint64_t size) : reported_(start), size_(size) {}

  template <typename Report>
  void acknowledged(std::uint64_t total, bool end, Report&& report) {
    const std::optional<double> seconds = elapsedSince(batchStart_);
    const std::uint64_t batch = total - reported_;
    while (reported_ < total && (reported_ + FRXSFTP::chunkSize <= total || end)) {
      const std::uint64_t next = std::min<std::uint64_t>(reported_ + FRXSFTP::chunkSize, total);
      // Every chunk of the batch is given the batch's speed.
      std::optional<double> share;
      if (seconds && batch > 0) share = *seconds * static_cast<double>(next - reported_) / static_cast<double>(batch);
      report(next - reported_, share, next, size_);
      reported_ = next;
    }
    batchStart_ = chunkStart();
  }

private:
  std::uint64_t reported_;
  std::uint64_t size_;
  std::optional<double> batchStart_ = chunkStart();
};

void FRXSFTP::reportChunk(std::uint64_t chunkBytes, std::optional<double> seconds, std::uint64_t transferred,
                          std::uint64_t size) {
  if (seconds && shouldUpdateSpeed.load(std::memory_order_relaxed) != 0) {
    // Only a delegate that implements the speed callback is sent it; conformance is not asked.
    if (auto* speed = speedDelegate()) {
      speed->connectionDidUpdateTransferSpeed(*this, FRXTransferSpeedText(static_cast<double>(chunkBytes) / *seconds));
    }
  }
  if (size > 0) {
    if (auto* delegate = conformingDelegate()) {
      delegate->connectionDidUpdateProgress(*this, FRXTransferProgress(transferred, size));
    }
  }
}

bool FRXSFTP::copyItemAtPath(std::string_view localPath, std::string_view remotePath, FRXError* error) {
  return upload(localPath, remotePath, false, error);
}

bool FRXSFTP::resumeItemAtPath(std::string_view localPath, std::string_view remotePath, FRXError* error) {
  return upload(localPath, remotePath, true, error);
}

bool FRXSFTP::copyItemAtRemotePath(std::string_view remotePath, std::string_view localPath, FRXError* error) {
  return download(remotePath, localPath, false, error);
}

bool FRXSFTP::resumeItemAtRemotePath(std::string_view remotePath, std::string_view localPath, FRXError* error) {
  return download(remotePath, localPath, true, error);
}

bool FRXSFTP::upload(std::string_view localPath, std::string_view remotePath, bool resume, FRXError* error) {
  // The local file is examined before the connection, so a missing file is reported as such even
  // without a connection.
  const auto examined = frx::localAttributes(localPath);
  if (const auto* localError = std::get_if<FRXError>(&examined)) return closingStep(false, *localError, error);
  if (!isConnected()) return closingStep(false, sftpError(FRXSFTPErrorNoConnection, "No SFTP connection."), error);
  const frx::LocalAttributes& attributes = *std::get_if<frx::LocalAttributes>(&examined);

  sendKeepaliveIfDue();
  // The local file is opened before the remote file is touched: a file that can't be read must
  // never cost the remote file its contents.
  frx::LocalSource source;
  const int openError = attributes.regular ? source.open(localPath) : EISDIR;
  if (openError != 0) {
    FRXError failure = sftpError(FRXSFTPErrorLocalFile, "Unable to open local file for reading.");
    failure.filePath = localPath;
    failure.underlyingPOSIXError = openError;
    return closingStep(false, failure, error);
  }

  std::uint64_t start = 0;
  if (resume) {
    LIBSSH2_SFTP_ATTRIBUTES existing{};
    if (libssh2_sftp_stat_ex(sftp_session_.get(), remotePath.data(), static_cast<unsigned int>(remotePath.size()),
                             LIBSSH2_SFTP_STAT, &existing) == 0) {
      if (!isRegularOrUnknown(existing)) {
        return closingStep(false, sftpError(FRXSFTPErrorNotRegularFile, "Remote item is not a regular file."), error);
      }
      start = existing.filesize;
    } else if (frx::timedOut(session())) {
      return closingStep(false, channelError(FRXSFTPErrorTimedOut, ""), error);
    }
    if (start > attributes.size) {
      return closingStep(false, sftpError(FRXSFTPErrorRemoteFile, "Remote file is larger than the local file."), error);
    }
    if (int seekError = source.seek(start); seekError != 0) {
      return closingStep(false, frx::localReadError(localPath, seekError), error);
    }
  }

  FRXSFTPFileHandle remote(libssh2_sftp_open_ex(sftp_session_.get(), remotePath.data(),
                                                static_cast<unsigned int>(remotePath.size()),
                                                resume ? kResumeFlags : kUploadFlags,
                                                static_cast<long>(attributes.permissions), LIBSSH2_SFTP_OPENFILE));
  if (!remote) {
    return closingStep(false, channelError(FRXSFTPErrorRemoteFile, "Unable to open remote file for writing."), error);
  }
  if (start > 0) libssh2_sftp_seek64(remote.get(), start);
  TransferHandleScope scope(transferHandle_, remote);

  std::optional<FRXError> produced;
  bool delegateHearsError = true;
  auto reportAndCheck = [&](std::uint64_t bytes, std::optional<double> seconds, std::uint64_t done, std::uint64_t size) {
    reportChunk(bytes, seconds, done, size);
  };
  auto stopped = [&]() {
    if (!transferStopped()) return false;
    cancelRequested_.store(false, std::memory_order_relaxed);
    produced = sftpError(FRXSFTPErrorCancelled, "The transfer was cancelled.");
    return true;
  };
  auto writeFailed = [&]() {
    // The Part of the contract callers know: the delegate hears a failed write without an error.
    produced = channelError(FRXSFTPErrorTransfer, "Unable to write remote file.");
    delegateHearsError = false;
  };
  auto readFailed = [&]() {
    produced = frx::localReadError(localPath, errno != 0 ? errno : EIO);
    delegateHearsError = false;
  };

  if (!pipelined_) {
    auto buffer = std::make_unique<char[]>(chunkSize);
    std::uint64_t readSoFar = start;
    while (!produced) {
      if (stopped()) break;
      const long length = source.readChunk(buffer.get(), chunkSize);
      if (length < 0) {
        readFailed();  // a read error is not the end of the file
        break;
      }
      if (length == 0) break;
      readSoFar += static_cast<std::uint64_t>(length);

      const std::optional<double> chunkBegan = chunkStart();
      std::size_t accepted = 0;
      ssize_t written = 0;
      while (accepted < static_cast<std::size_t>(length)) {
        written = libssh2_sftp_write(remote.get(), buffer.get() + accepted, static_cast<std::size_t>(length) - accepted);
        if (written <= 0) break;
        accepted += static_cast<std::size_t>(written);
      }
      if (written <= 0) writeFailed();  // before the reports: a callback may disconnect
      reportAndCheck(accepted, elapsedSince(chunkBegan), readSoFar, attributes.size);
    }
  } else {
    auto window = std::make_unique<char[]>(kUploadWindow);
    std::size_t begin = 0;
    std::size_t end = 0;
    bool atEnd = false;
    std::uint64_t acknowledged = start;
    FRXChunkReporter reporter(start, attributes.size);
    while (!produced) {
      if (stopped()) break;
      // Keep at least half a window in flight: move what is unacknowledged to the front and fill up.
      if (!atEnd && end - begin < kUploadWindow / 2) {
        std::memmove(window.get(), window.get() + begin, end - begin);
        end -= begin;
        begin = 0;
        const long length = source.readChunk(window.get() + end, kUploadWindow - end);
        if (length < 0) {
          readFailed();
          break;
        }
        atEnd = static_cast<std::size_t>(length) < kUploadWindow - end;
        end += static_cast<std::size_t>(length);
      }
      if (begin == end) break;
      const ssize_t written = libssh2_sftp_write(remote.get(), window.get() + begin, end - begin);
      if (written > 0) {
        begin += static_cast<std::size_t>(written);
        acknowledged += static_cast<std::uint64_t>(written);
      } else {
        writeFailed();
      }
      reporter.acknowledged(acknowledged, produced.has_value() || (atEnd && begin == end), reportAndCheck);
    }
    // Stopped with writes in flight: libssh2 can only close the file once they are answered.
    if (produced && produced->code == FRXSFTPErrorCancelled) {
      while (begin < end) {
        const ssize_t written = libssh2_sftp_write(remote.get(), window.get() + begin, end - begin);
        if (written <= 0) break;
        begin += static_cast<std::size_t>(written);
      }
    }
  }
  source.close();
  // The close answers for the last writes too.
  if (remote.reset() < 0 && !produced && isConnected()) {
    produced = channelError(FRXSFTPErrorTransfer, "Unable to write remote file.");
    delegateHearsError = false;
  }
  endTransfer();
  return closingStep(!produced, produced, error, delegateHearsError);
}

bool FRXSFTP::download(std::string_view remotePath, std::string_view localPath, bool resume, FRXError* error) {
  if (!isConnected()) return closingStep(false, sftpError(FRXSFTPErrorNoConnection, "No SFTP connection."), error);

  sendKeepaliveIfDue();
  // Only regular files are read: opening a FIFO blocks the server, a device never ends. Asked by
  // path first, and again through the handle in case the item was swapped in between.
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  if (libssh2_sftp_stat_ex(sftp_session_.get(), remotePath.data(), static_cast<unsigned int>(remotePath.size()),
                           LIBSSH2_SFTP_STAT, &attributes) == 0 &&
      !isRegularOrUnknown(attributes)) {
    return closingStep(false, sftpError(FRXSFTPErrorNotRegularFile, "Remote item is not a regular file."), error);
  }
  if (frx::timedOut(session())) return closingStep(false, channelError(FRXSFTPErrorTimedOut, ""), error);

  frx::LocalDestination destination;
  std::uint64_t start = 0;
  if (int localErrno = resume ? destination.openForAppending(localPath, start) : destination.checkReplaceable(localPath);
      localErrno != 0) {
    return closingStep(false, frx::localWriteError(localPath, localErrno), error);
  }

  FRXSFTPFileHandle remote(libssh2_sftp_open_ex(sftp_session_.get(), remotePath.data(),
                                                static_cast<unsigned int>(remotePath.size()), LIBSSH2_FXF_READ, 0,
                                                LIBSSH2_SFTP_OPENFILE));
  if (!remote) {
    return closingStep(false, channelError(FRXSFTPErrorRemoteFile, "Unable to open remote file for reading."), error);
  }
  TransferHandleScope scope(transferHandle_, remote);
  // Without the size the file is still copied, but no progress can be reported.
  std::uint64_t size = 0;
  attributes = {};
  if (libssh2_sftp_fstat_ex(remote.get(), &attributes, 0) == 0) {
    if (!isRegularOrUnknown(attributes)) {
      return closingStep(false, sftpError(FRXSFTPErrorNotRegularFile, "Remote item is not a regular file."), error);
    }
    size = attributes.filesize;
  }
  if (resume) {
    if ((attributes.flags & LIBSSH2_SFTP_ATTR_SIZE) != 0 && start > size) {
      return closingStep(false, sftpError(FRXSFTPErrorLocalFile, "Local file is larger than the remote file."), error);
    }
    libssh2_sftp_seek64(remote.get(), start);
  }

  // The local path is only replaced, in one rename, once everything has arrived (or, resuming,
  // appended to in place).
  std::optional<FRXError> produced;
  bool delegateHearsError = true;
  const std::size_t bufferSize = pipelined_ ? kDownloadBuffer : chunkSize;
  auto buffer = std::make_unique<char[]>(bufferSize);
  std::uint64_t received = start;
  FRXChunkReporter reporter(start, size);
  auto report = [&](std::uint64_t bytes, std::optional<double> seconds, std::uint64_t done, std::uint64_t total) {
    reportChunk(bytes, seconds, done, total);
  };
  for (;;) {
    if (transferStopped()) {
      cancelRequested_.store(false, std::memory_order_relaxed);
      produced = sftpError(FRXSFTPErrorCancelled, "The transfer was cancelled.");
      break;
    }
    const std::optional<double> chunkBegan = chunkStart();
    const ssize_t length = libssh2_sftp_read(remote.get(), buffer.get(), bufferSize);
    const std::optional<double> seconds = elapsedSince(chunkBegan);
    if (length == 0) break;
    if (length < 0) {
      // A read error is not the end of the file; the delegate hears it without an error.
      produced = channelError(FRXSFTPErrorTransfer, "Unable to read remote file.");
      delegateHearsError = false;
      break;
    }
    int localErrno = destination.isOpen() ? 0 : destination.create(localPath);
    if (localErrno == 0) localErrno = destination.write(buffer.get(), static_cast<std::size_t>(length));
    if (localErrno != 0) {
      produced = frx::localWriteError(localPath, localErrno);
      delegateHearsError = false;
      break;
    }
    received += static_cast<std::uint64_t>(length);
    if (pipelined_) {
      reporter.acknowledged(received, false, report);
    } else {
      reportChunk(static_cast<std::uint64_t>(length), seconds, received, size);
    }
  }
  if (pipelined_ && !produced) reporter.acknowledged(received, true, report);
  remote.reset();
  endTransfer();

  if (!produced && received == start && !resume) {
    // An empty file is not written; the delegate hears the failure without an error.
    produced = sftpError(FRXSFTPErrorTransfer, "Remote file is empty.");
    delegateHearsError = false;
  }
  if (!produced && destination.isOpen()) {
    if (int localErrno = destination.commit(); localErrno != 0) {
      produced = frx::localWriteError(localPath, localErrno);
      delegateHearsError = false;
    }
  }
  return closingStep(!produced, produced, error, delegateHearsError);
}
