// The two transfers of FRXSFTP: upload and download in chunks of FRXSFTP::chunkSize bytes, with a
// speed text, a progress report and the byte counts to the delegate after every chunk.
#include <Ferrix/FRXSFTP.h>
#include <Ferrix/FRXTransferMath.h>

#include "FRXConnectionState.h"
#include "FRXInternal.h"
#include "FRXLocalFile.h"
#include "FRXSFTPState.h"
#include "FRXStreams.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>

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
// The smoothed rate looks back this far.
constexpr double kRateWindowSeconds = 1.0;

FRXError sftpError(long code, std::string message) {
  return frx::makeError(FRXSFTPErrorDomain, code, std::move(message));
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

// Runs its action when the scope ends, however it ends.
template <typename Action>
class ScopeEnd {
public:
  explicit ScopeEnd(Action action) : action_(std::move(action)) {}
  ScopeEnd(const ScopeEnd&) = delete;
  ScopeEnd& operator=(const ScopeEnd&) = delete;
  ~ScopeEnd() { action_(); }

private:
  Action action_;
};

// Bytes per second over about the last second: the transfer's progress is sampled at every report,
// and the rate is taken from the newest sample at least a window old (the start, early on) to now.
// Acknowledgements that arrive in bursts then no longer look like bursts of speed.
class RateMeter {
public:
  explicit RateMeter(std::uint64_t start) { samples_.push_back({clock(), start}); }

  double update(std::uint64_t bytes) {
    const double now = clock();
    samples_.push_back({now, bytes});
    while (samples_.size() > 2 && samples_[1].seconds <= now - kRateWindowSeconds) samples_.pop_front();
    const Sample& base = samples_.front();
    return static_cast<double>(bytes - base.bytes) / std::max(now - base.seconds, kShortestChunkSeconds);
  }

private:
  struct Sample {
    double seconds;
    std::uint64_t bytes;
  };
  static double clock() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }
  std::deque<Sample> samples_;
};

}  // namespace

void FRXSFTP::endTransfer() {
  if (FRXSFTPFileHandle* handle = sftpState_->transferHandle) {
    sftpState_->transferHandle = nullptr;
    if (*handle && FRXConnection::isConnected()) {
      connectionState().patiently([&] { return libssh2_sftp_close_handle(handle->get()); });
    }
    handle->release();
  }
  if (sftpState_->disconnectPending) disconnect();
}

bool FRXSFTP::transferStopped() const {
  return !isConnected() || sftpState_->cancelRequested.load(std::memory_order_relaxed);
}

bool FRXSFTP::speedWanted() const {
  const std::optional<bool>& own = sftpState_->reportsSpeed;
  return own ? *own : shouldUpdateSpeed.load(std::memory_order_relaxed) != 0;
}

// Reports for pipelined transfers: acknowledged bytes come in pieces of any size, and the delegate
// hears one report for every chunkSize bytes of them, in order, each with the smoothed rate.
class FRXChunkReporter {
public:
  FRXChunkReporter(std::uint64_t start, std::uint64_t size, bool timed) : reported_(start), size_(size) {
    if (timed) meter_.emplace(start);
  }

  template <typename Report>
  void acknowledged(std::uint64_t total, bool end, Report&& report) {
    if (reported_ >= total || (reported_ + FRXSFTP::chunkSize > total && !end)) return;
    const std::optional<double> rate = meter_ ? std::optional(meter_->update(total)) : std::nullopt;
    while (reported_ < total && (reported_ + FRXSFTP::chunkSize <= total || end)) {
      reported_ = std::min<std::uint64_t>(reported_ + FRXSFTP::chunkSize, total);
      report(reported_, size_, rate, rate.value_or(0));
    }
  }

private:
  std::uint64_t reported_;
  std::uint64_t size_;
  std::optional<RateMeter> meter_;
};

void FRXSFTP::reportChunk(std::uint64_t transferred, std::uint64_t size, std::optional<double> speed,
                          double smoothedRate) {
  if (speed && speedWanted()) {
    // Only a delegate that implements the speed callback is sent it; conformance is not asked.
    if (auto* speedListener = speedDelegate()) {
      speedListener->connectionDidUpdateTransferSpeed(*this, FRXTransferSpeedText(*speed));
    }
  }
  if (size > 0) {
    if (auto* delegate = conformingDelegate()) {
      delegate->connectionDidUpdateProgress(*this, FRXTransferProgress(transferred, size));
    }
  }
  if (auto* counts = transferDelegate()) counts->connectionDidTransferBytes(*this, transferred, size, smoothedRate);
}

std::vector<FRXTransferOutcome> FRXSFTP::copyItemsAtPaths(const std::vector<FRXTransferItem>& items,
                                                           const FRXTransferItemObserver& observer) {
  return copyItems(items, true, observer);
}

std::vector<FRXTransferOutcome> FRXSFTP::copyItemsAtRemotePaths(const std::vector<FRXTransferItem>& items,
                                                                 const FRXTransferItemObserver& observer) {
  return copyItems(items, false, observer);
}

std::vector<FRXTransferOutcome> FRXSFTP::copyItems(const std::vector<FRXTransferItem>& items, bool upload,
                                                   const FRXTransferItemObserver& observer) {
  FRXSFTPState& own = *sftpState_;
  const int wanted = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(availableStreams()), items.size()));
  const int count = wanted >= 2 && isConnected() ? FRXStreams::open(*this, wanted) : 0;
  own.itemsInFlight = true;
  std::vector<FRXTransferOutcome> outcomes = FRXStreams::moveItems(*this, count, items, upload, observer);
  own.itemsInFlight = false;
  if (own.disconnectPending) disconnect();
  return outcomes;
}

int FRXSFTP::streamsFor(std::uint64_t bytes) {
  const FRXSFTPState& own = *sftpState_;
  // Streams keep many requests in flight: a stop-and-wait object keeps to one at a time.
  if (!own.pipelined || availableStreams() < 2 || bytes == 0 || bytes < own.streamThreshold) return 0;
  const int count = FRXStreams::open(*this, availableStreams());
  return count >= 2 ? count : 0;
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
  FRXConnectionState& state = connectionState();
  FRXSFTPState& own = *sftpState_;

  state.sendKeepaliveIfDue();
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
    if (state.patiently([&] {
          return libssh2_sftp_stat_ex(own.channel.get(), remotePath.data(),
                                      static_cast<unsigned int>(remotePath.size()), LIBSSH2_SFTP_STAT, &existing);
        }) == 0) {
      if (!isRegularOrUnknown(existing)) {
        return closingStep(false, sftpError(FRXSFTPErrorNotRegularFile, "Remote item is not a regular file."), error);
      }
      start = existing.filesize;
    } else if (frx::timedOut(state.rawSession())) {
      return closingStep(false, channelError(FRXSFTPErrorTimedOut, ""), error);
    }
    if (start > attributes.size) {
      return closingStep(false, sftpError(FRXSFTPErrorRemoteFile, "Remote file is larger than the local file."), error);
    }
    if (int seekError = source.seek(start); seekError != 0) {
      return closingStep(false, frx::localReadError(localPath, seekError), error);
    }
  }

  FRXSFTPFileHandle remote(state.patiently([&] {
    return libssh2_sftp_open_ex(own.channel.get(), remotePath.data(), static_cast<unsigned int>(remotePath.size()),
                                resume ? kResumeFlags : kUploadFlags, static_cast<long>(attributes.permissions),
                                LIBSSH2_SFTP_OPENFILE);
  }));
  if (!remote) {
    return closingStep(false, channelError(FRXSFTPErrorRemoteFile, "Unable to open remote file for writing."), error);
  }
  if (start > 0) libssh2_sftp_seek64(remote.get(), start);
  // From here on every way out ends the transfer, so that a disconnect asked for meanwhile happens.
  own.transferHandle = &remote;
  ScopeEnd ending([this] { endTransfer(); });

  std::optional<FRXError> produced;
  bool delegateHearsError = true;
  auto report = [&](std::uint64_t done, std::uint64_t size, std::optional<double> speed, double smoothed) {
    reportChunk(done, size, speed, smoothed);
  };
  auto stopped = [&]() {
    if (!transferStopped()) return false;
    own.cancelRequested.store(false, std::memory_order_relaxed);
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
  const bool speedTimed = speedWanted() && speedDelegate() != nullptr;
  const bool countsWanted = transferDelegate() != nullptr;

  if (const int streams = streamsFor(attributes.size - start); streams >= 2) {
    FRXChunkReporter reporter(start, attributes.size, speedTimed || countsWanted);
    const FRXStreamedOutcome moved = FRXStreams::moveFile(
        *this, streams, FRXStreamedFile{remotePath, true, localPath, source.descriptor(), start, attributes.size},
        [&](std::uint64_t done) { reporter.acknowledged(done, false, report); }, [this] { return transferStopped(); });
    if (moved.error) {
      produced = moved.error;
      delegateHearsError = moved.delegateHearsError;
      if (produced->code == FRXSFTPErrorCancelled) own.cancelRequested.store(false, std::memory_order_relaxed);
      // Blocks end wherever each stream stopped: the file keeps only what is whole from its start,
      // so that a resume never continues past a hole.
      LIBSSH2_SFTP_ATTRIBUTES cut{};
      cut.flags = LIBSSH2_SFTP_ATTR_SIZE;
      cut.filesize = moved.wholePrefix;
      if (FRXConnection::isConnected()) state.patiently([&] { return libssh2_sftp_fsetstat(remote.get(), &cut); });
    } else {
      reporter.acknowledged(attributes.size, true, report);
    }
  } else if (!own.pipelined) {
    auto buffer = std::make_unique<char[]>(chunkSize);
    std::uint64_t readSoFar = start;
    std::optional<RateMeter> meter;
    if (countsWanted) meter.emplace(start);
    while (!produced) {
      if (stopped()) break;
      const long length = source.readChunk(buffer.get(), chunkSize);
      if (length < 0) {
        readFailed();  // a read error is not the end of the file
        break;
      }
      if (length == 0) break;
      readSoFar += static_cast<std::uint64_t>(length);

      const std::optional<double> chunkBegan = speedTimed ? frx::now() : std::nullopt;
      std::size_t accepted = 0;
      ssize_t written = 0;
      while (accepted < static_cast<std::size_t>(length)) {
        written = state.patiently([&] {
          return libssh2_sftp_write(remote.get(), buffer.get() + accepted, static_cast<std::size_t>(length) - accepted);
        });
        if (written <= 0) break;
        accepted += static_cast<std::size_t>(written);
      }
      if (written <= 0) writeFailed();  // before the reports: a callback may disconnect
      const std::optional<double> seconds = elapsedSince(chunkBegan);
      report(readSoFar, attributes.size,
             seconds ? std::optional(static_cast<double>(accepted) / *seconds) : std::nullopt,
             meter ? meter->update(readSoFar) : 0);
    }
  } else {
    auto window = std::make_unique<char[]>(kUploadWindow);
    std::size_t begin = 0;
    std::size_t end = 0;
    bool atEnd = false;
    std::uint64_t acknowledged = start;
    FRXChunkReporter reporter(start, attributes.size, speedTimed || countsWanted);
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
      const ssize_t written =
          state.patiently([&] { return libssh2_sftp_write(remote.get(), window.get() + begin, end - begin); });
      if (written > 0) {
        begin += static_cast<std::size_t>(written);
        acknowledged += static_cast<std::uint64_t>(written);
      } else {
        writeFailed();
      }
      reporter.acknowledged(acknowledged, produced.has_value() || (atEnd && begin == end), report);
    }
    // Stopped with writes in flight: libssh2 can only close the file once they are answered.
    if (produced && produced->code == FRXSFTPErrorCancelled) {
      while (begin < end) {
        const ssize_t written =
            state.patiently([&] { return libssh2_sftp_write(remote.get(), window.get() + begin, end - begin); });
        if (written <= 0) break;
        begin += static_cast<std::size_t>(written);
      }
    }
  }
  source.close();
  // The close answers for the last writes too.
  if (remote && isConnected()) {
    const int closed = state.patiently([&] { return libssh2_sftp_close_handle(remote.get()); });
    remote.release();
    if (closed < 0 && !produced) {
      produced = channelError(FRXSFTPErrorTransfer, "Unable to write remote file.");
      delegateHearsError = false;
    }
  }
  endTransfer();
  return closingStep(!produced, produced, error, delegateHearsError);
}

bool FRXSFTP::download(std::string_view remotePath, std::string_view localPath, bool resume, FRXError* error) {
  if (!isConnected()) return closingStep(false, sftpError(FRXSFTPErrorNoConnection, "No SFTP connection."), error);
  FRXConnectionState& state = connectionState();
  FRXSFTPState& own = *sftpState_;

  state.sendKeepaliveIfDue();
  // Only regular files are read: opening a FIFO blocks the server, a device never ends. Asked by
  // path first, and again through the handle in case the item was swapped in between.
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  if (state.patiently([&] {
        return libssh2_sftp_stat_ex(own.channel.get(), remotePath.data(), static_cast<unsigned int>(remotePath.size()),
                                    LIBSSH2_SFTP_STAT, &attributes);
      }) == 0 &&
      !isRegularOrUnknown(attributes)) {
    return closingStep(false, sftpError(FRXSFTPErrorNotRegularFile, "Remote item is not a regular file."), error);
  }
  if (frx::timedOut(state.rawSession())) return closingStep(false, channelError(FRXSFTPErrorTimedOut, ""), error);

  frx::LocalDestination destination;
  std::uint64_t start = 0;
  if (int localErrno = resume ? destination.openForAppending(localPath, start) : destination.checkReplaceable(localPath);
      localErrno != 0) {
    return closingStep(false, frx::localWriteError(localPath, localErrno), error);
  }

  FRXSFTPFileHandle remote(state.patiently([&] {
    return libssh2_sftp_open_ex(own.channel.get(), remotePath.data(), static_cast<unsigned int>(remotePath.size()),
                                LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
  }));
  if (!remote) {
    return closingStep(false, channelError(FRXSFTPErrorRemoteFile, "Unable to open remote file for reading."), error);
  }
  // From here on every way out ends the transfer before the delegate hears how it went, so that a
  // disconnect it asks for from that callback is carried out at once; the scope's end is the
  // backstop.
  own.transferHandle = &remote;
  ScopeEnd ending([this] { endTransfer(); });
  auto finish = [&](const std::optional<FRXError>& produced, bool delegateHearsError) {
    endTransfer();
    return closingStep(!produced, produced, error, delegateHearsError);
  };
  // Without the size the file is still copied, but no progress can be reported.
  std::uint64_t size = 0;
  attributes = {};
  if (state.patiently([&] { return libssh2_sftp_fstat_ex(remote.get(), &attributes, 0); }) == 0) {
    if (!isRegularOrUnknown(attributes)) {
      return finish(sftpError(FRXSFTPErrorNotRegularFile, "Remote item is not a regular file."), true);
    }
    size = attributes.filesize;
  }
  if (resume) {
    if ((attributes.flags & LIBSSH2_SFTP_ATTR_SIZE) != 0 && start > size) {
      return finish(sftpError(FRXSFTPErrorLocalFile, "Local file is larger than the remote file."), true);
    }
    libssh2_sftp_seek64(remote.get(), start);
  }

  // The local path is only replaced, in one rename, once everything has arrived (or, resuming,
  // appended to in place).
  std::optional<FRXError> produced;
  bool delegateHearsError = true;
  const std::size_t bufferSize = own.pipelined ? kDownloadBuffer : chunkSize;
  auto buffer = std::make_unique<char[]>(bufferSize);
  std::uint64_t received = start;
  const bool speedTimed = speedWanted() && speedDelegate() != nullptr;
  const bool countsWanted = transferDelegate() != nullptr;
  FRXChunkReporter reporter(start, size, speedTimed || countsWanted);
  std::optional<RateMeter> meter;
  if (!own.pipelined && countsWanted) meter.emplace(start);
  auto report = [&](std::uint64_t done, std::uint64_t total, std::optional<double> speed, double smoothed) {
    reportChunk(done, total, speed, smoothed);
  };
  // The streams need the size to split the file into blocks.
  const bool sizeKnown = (attributes.flags & LIBSSH2_SFTP_ATTR_SIZE) != 0 && size > start;
  bool streamed = false;
  if (const int streams = sizeKnown ? streamsFor(size - start) : 0; streams >= 2) {
    if (int localErrno = destination.isOpen() ? 0 : destination.create(localPath); localErrno != 0) {
      return finish(frx::localWriteError(localPath, localErrno), false);
    }
    const FRXStreamedOutcome moved = FRXStreams::moveFile(
        *this, streams, FRXStreamedFile{remotePath, false, localPath, destination.descriptor(), start, size},
        [&](std::uint64_t done) { reporter.acknowledged(done, false, report); }, [this] { return transferStopped(); });
    if (moved.error) {
      if (moved.error->code == FRXSFTPErrorCancelled) own.cancelRequested.store(false, std::memory_order_relaxed);
      // A resumed download keeps what had arrived, but only up to the first hole.
      if (resume) (void)destination.keepPrefix(moved.wholePrefix);
      return finish(moved.error, moved.delegateHearsError);
    }
    received = size;
    reporter.acknowledged(received, true, report);
    streamed = true;
  }
  while (!streamed) {
    if (transferStopped()) {
      own.cancelRequested.store(false, std::memory_order_relaxed);
      produced = sftpError(FRXSFTPErrorCancelled, "The transfer was cancelled.");
      break;
    }
    const std::optional<double> chunkBegan = speedTimed && !own.pipelined ? frx::now() : std::nullopt;
    const ssize_t length = state.patiently([&] { return libssh2_sftp_read(remote.get(), buffer.get(), bufferSize); });
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
    if (own.pipelined) {
      reporter.acknowledged(received, false, report);
    } else {
      report(received, size, seconds ? std::optional(static_cast<double>(length) / *seconds) : std::nullopt,
             meter ? meter->update(received) : 0);
    }
  }
  if (own.pipelined && !produced) reporter.acknowledged(received, true, report);
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
