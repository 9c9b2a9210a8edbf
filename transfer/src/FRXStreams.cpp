#include "FRXStreams.h"

#include "FRXConnectionState.h"
#include "FRXInternal.h"
#include "FRXLocalFile.h"
#include "FRXSFTPState.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace {

// Each stream starts on an equal share of the file and, once through, takes the back half of the
// largest share still being moved, unless too little is left to be worth a seek and a fresh
// pipeline. A stream thus drains its pipeline only when it changes shares.
constexpr std::uint64_t kSmallestTakeover = std::uint64_t{2} << 20;
// Per stream: the bytes handed to libssh2 at once (upload), and the largest read asked for
// (download; libssh2 keeps four times that in flight).
constexpr std::size_t kUploadWindow = 4u << 20;
constexpr std::size_t kDownloadBuffer = 1u << 20;
// How often the caller's thread wakes to report and to look for a cancel.
constexpr auto kReportInterval = std::chrono::milliseconds(20);

FRXError sftpError(long code, std::string message) {
  return frx::makeError(FRXSFTPErrorDomain, code, std::move(message));
}

FRXError cancelledError() { return sftpError(FRXSFTPErrorCancelled, "The transfer was cancelled."); }

std::uint64_t wholeChunks(std::uint64_t bytes) { return bytes / FRXSFTP::chunkSize * FRXSFTP::chunkSize; }

// A part of the file that one stream moves from its beginning on. Another stream may take its
// back part (lowering `end`) but never what its owner has claimed.
struct Share {
  std::uint64_t begin;
  std::uint64_t end;
  std::uint64_t claimed;  // the owner has read (upload) or received (download) up to here
  std::uint64_t done = 0;  // bytes in place from `begin`; the owner's alone, read after the join
};

// What the streams' threads and the caller's thread share while one file moves.
struct FileRun {
  FileRun(std::uint64_t start, std::uint64_t size, int streams) : start(start) {
    const auto count = static_cast<std::uint64_t>(streams);
    const std::uint64_t each = wholeChunks((size - start + count - 1) / count + FRXSFTP::chunkSize - 1);
    for (std::uint64_t begin = start; begin < size; begin += each) {
      shares.push_back(Share{begin, std::min(begin + each, size), begin});
    }
    firstShares = shares.size();
  }

  const std::uint64_t start;
  std::atomic<std::uint64_t> acknowledged{0};
  std::atomic<bool> stop{false};

  std::mutex mutex;
  std::condition_variable changed;
  // Addresses stay put as shares are added.
  std::deque<Share> shares;
  std::size_t firstShares = 0;
  std::size_t handedOut = 0;
  int running = 0;
  std::optional<FRXError> failure;
  bool failureHeard = true;
  std::optional<FRXError> streamFailure;

  // The next share for a stream: one nobody has started, else the back half of the largest left.
  Share* take() {
    std::lock_guard lock(mutex);
    if (handedOut < firstShares) return &shares[handedOut++];
    Share* largest = nullptr;
    for (Share& share : shares) {
      if (largest == nullptr || share.end - share.claimed > largest->end - largest->claimed) largest = &share;
    }
    if (largest == nullptr || largest->end - largest->claimed < kSmallestTakeover) return nullptr;
    const std::uint64_t split = largest->claimed + wholeChunks((largest->end - largest->claimed) / 2);
    shares.push_back(Share{split, largest->end, split});
    largest->end = split;
    return &shares.back();
  }
  // How many of the next `wanted` bytes of its share the owner may move (0: the share is over).
  std::uint64_t claim(Share& share, std::uint64_t wanted) {
    std::lock_guard lock(mutex);
    const std::uint64_t granted = std::min(wanted, share.end - share.claimed);
    share.claimed += granted;
    return granted;
  }
  std::uint64_t unclaimed(const Share& share) {
    std::lock_guard lock(mutex);
    return share.end - share.claimed;
  }
  // The first failure is the transfer's; every stream stops after its current call.
  void fail(FRXError error, bool heard) {
    {
      std::lock_guard lock(mutex);
      if (!failure) {
        failure = std::move(error);
        failureHeard = heard;
      }
    }
    stop.store(true);
  }
  // A stream that could not start: the transfer fails with this only if no stream moved the file.
  void streamFailed(FRXError error) {
    std::lock_guard lock(mutex);
    if (!streamFailure) streamFailure = std::move(error);
  }
  void moved(Share& share, std::uint64_t bytes) {
    share.done += bytes;
    acknowledged.fetch_add(bytes, std::memory_order_relaxed);
  }
  void streamEnded() {
    std::lock_guard lock(mutex);
    --running;
    changed.notify_all();
  }
  // Once every stream has been joined: the bytes in place without a hole from the start on.
  [[nodiscard]] std::uint64_t wholePrefix() {
    std::vector<const Share*> ordered;
    for (const Share& share : shares) ordered.push_back(&share);
    std::sort(ordered.begin(), ordered.end(), [](const Share* a, const Share* b) { return a->begin < b->begin; });
    std::uint64_t prefix = start;
    for (const Share* share : ordered) {
      if (share->begin != prefix) break;
      prefix = share->begin + share->done;
      if (prefix < share->end) break;
    }
    return prefix;
  }
};

}  // namespace

namespace {

// One stream's part of a transfer, on its own handle on the remote file: shares read at their
// offsets from the local file and written pipelined at the same offsets (upload), or read pipelined
// and written at their offsets into the local file (download).
class StreamWorker {
public:
  StreamWorker(FRXSFTP& stream, FRXConnectionState& state, LIBSSH2_SFTP* channel, FileRun& run,
               const FRXStreamedFile& file)
      : stream_(stream), state_(state), channel_(channel), run_(run), file_(file) {}

  template <typename ChannelError>
  void run(ChannelError&& channelError) {
    const unsigned long flags = file_.upload ? LIBSSH2_FXF_WRITE : LIBSSH2_FXF_READ;
    FRXSFTPFileHandle handle(state_.patiently([&] {
      return libssh2_sftp_open_ex(channel_, file_.remotePath.data(), static_cast<unsigned int>(file_.remotePath.size()),
                                  flags, 0, LIBSSH2_SFTP_OPENFILE);
    }));
    if (!handle) {
      // This connection opened the file already, so the stream is what failed (a server that
      // dropped it while it was idle, say): the other streams take its share.
      run_.streamFailed(channelError(FRXSFTPErrorRemoteFile, file_.upload ? "Unable to open remote file for writing."
                                                                          : "Unable to open remote file for reading."));
      stream_.disconnect();
      return;
    }
    bool broken = false;
    while (!broken && !run_.stop.load()) {
      Share* share = run_.take();
      if (share == nullptr) break;
      libssh2_sftp_seek64(handle.get(), share->begin);
      broken = file_.upload ? upload(handle.get(), *share, channelError) : download(handle.get(), *share, channelError);
    }
    if (broken) {
      // The session may be gone or hold requests that will never be answered: it is not reused.
      handle.reset();
      stream_.disconnect();
      return;
    }
    // The close answers for the last writes too.
    const int closed = state_.patiently([&] { return libssh2_sftp_close_handle(handle.get()); });
    handle.release();
    if (closed < 0 && file_.upload) run_.fail(channelError(FRXSFTPErrorTransfer, "Unable to write remote file."), false);
  }

private:
  // True when the stream's session can't be used any more.
  template <typename ChannelError>
  bool upload(LIBSSH2_SFTP_HANDLE* handle, Share& share, ChannelError& channelError) {
    if (!window_) window_ = std::make_unique<char[]>(kUploadWindow);
    std::uint64_t readFrom = share.begin;
    bool claiming = true;
    std::size_t begin = 0;
    std::size_t end = 0;
    for (;;) {
      // Stopped, or the share is over: nothing more is read, but what was handed to libssh2 is
      // seen through, as it can only close the file once those writes are answered.
      if (run_.stop.load()) claiming = false;
      if (claiming && end - begin < kUploadWindow / 2) {
        std::memmove(window_.get(), window_.get() + begin, end - begin);
        end -= begin;
        begin = 0;
        const auto wanted = static_cast<std::size_t>(run_.claim(share, kUploadWindow - end));
        const long length = wanted == 0 ? 0 : frx::readFullyAt(file_.localDescriptor, window_.get() + end, wanted, readFrom);
        if (wanted == 0) {
          claiming = false;
        } else if (length < static_cast<long>(wanted)) {
          // A file that shrank under us is as much a read error as a failed read.
          run_.fail(frx::localReadError(file_.localPath, length < 0 && errno != 0 ? errno : EIO), false);
          claiming = false;
        } else {
          end += wanted;
          readFrom += wanted;
        }
      }
      if (begin == end) return false;
      const ssize_t written = state_.patiently([&] { return libssh2_sftp_write(handle, window_.get() + begin, end - begin); });
      if (written <= 0) {
        run_.fail(channelError(FRXSFTPErrorTransfer, "Unable to write remote file."), false);
        return true;
      }
      begin += static_cast<std::size_t>(written);
      run_.moved(share, static_cast<std::uint64_t>(written));
    }
  }

  template <typename ChannelError>
  bool download(LIBSSH2_SFTP_HANDLE* handle, Share& share, ChannelError& channelError) {
    if (!window_) window_ = std::make_unique<char[]>(kDownloadBuffer);
    std::uint64_t offset = share.begin;
    while (!run_.stop.load()) {
      const std::uint64_t left = run_.unclaimed(share);
      if (left == 0) break;
      // libssh2 reads ahead four times what is asked for: near the share's end less is asked, so
      // that little is read beyond it.
      const std::uint64_t quarter = wholeChunks(left / 4 + FRXSFTP::chunkSize - 1);
      const auto asked = static_cast<std::size_t>(
          std::min<std::uint64_t>({kDownloadBuffer, left, std::max<std::uint64_t>(quarter, FRXSFTP::chunkSize)}));
      const ssize_t length = state_.patiently([&] { return libssh2_sftp_read(handle, window_.get(), asked); });
      if (length <= 0) {
        // The file ended early (it shrank) or the read failed: either way the copy is not whole.
        run_.fail(channelError(FRXSFTPErrorTransfer, "Unable to read remote file."), false);
        return true;
      }
      // Another stream may have taken the rest of the share meanwhile.
      const std::uint64_t granted = run_.claim(share, static_cast<std::uint64_t>(length));
      if (int localErrno = frx::writeFullyAt(file_.localDescriptor, window_.get(), static_cast<std::size_t>(granted), offset);
          localErrno != 0) {
        run_.fail(frx::localWriteError(file_.localPath, localErrno), false);
        return false;
      }
      offset += granted;
      run_.moved(share, granted);
      if (granted < static_cast<std::uint64_t>(length)) break;
    }
    return false;
  }

  FRXSFTP& stream_;
  FRXConnectionState& state_;
  LIBSSH2_SFTP* channel_;
  FileRun& run_;
  const FRXStreamedFile& file_;
  std::unique_ptr<char[]> window_;
};

}  // namespace

std::vector<FRXSFTP*> FRXStreams::heldStreams(FRXSFTP& owner, int count) {
  std::vector<FRXSFTP*> streams;
  for (const auto& held : owner.sftpState_->streamConnections) {
    if (static_cast<int>(streams.size()) == count) break;
    streams.push_back(held.get());
  }
  return streams;
}

int FRXStreams::open(FRXSFTP& owner, int wanted) {
  FRXSFTPState& own = *owner.sftpState_;
  auto& held = own.streamConnections;
  held.erase(std::remove_if(held.begin(), held.end(), [](const auto& stream) { return !stream->isConnected(); }),
             held.end());
  if (own.streamLimit) wanted = std::min(wanted, *own.streamLimit);
  if (static_cast<int>(held.size()) >= wanted) return wanted;

  const FRXConnectionState& from = owner.connectionState();
  std::vector<std::unique_ptr<FRXSFTP>> fresh;
  for (int i = static_cast<int>(held.size()); i < wanted; ++i) {
    auto stream = std::make_unique<FRXSFTP>(from.remoteAddress, from.username, FRXPassword(""));
    FRXConnectionState& to = stream->connectionState();
    // The library's own connections: they write no line when they go.
    to.deallocated = true;
    to.port = from.port;
    to.password = from.password;
    to.privateKeyPath = from.privateKeyPath;
    to.publicKeyPath = from.publicKeyPath;
    to.passphrase = from.passphrase;
    to.usesAgent = from.usesAgent;
    to.allowsKeyboardInteractive = from.allowsKeyboardInteractive;
    to.timeout = from.timeout;
    to.serverAliveInterval = from.serverAliveInterval;
    to.serverAliveCountMax = from.serverAliveCountMax;
    // The same server as the one this connection checked: its key, pinned.
    to.hostKeyFingerprint = from.serverFingerprint.empty() ? from.hostKeyFingerprint : from.serverFingerprint;
    stream->sftpState_->isStream = true;
    fresh.push_back(std::move(stream));
  }
  // Each handshake and login costs several round trips: they run side by side.
  std::vector<char> connected(fresh.size(), 0);
  {
    std::vector<std::thread> connecting;
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      connecting.emplace_back([&, i] { connected[i] = fresh[i]->connectWithError(nullptr) ? 1 : 0; });
    }
    for (std::thread& thread : connecting) thread.join();
  }
  for (std::size_t i = 0; i < fresh.size(); ++i) {
    if (connected[i] != 0) held.push_back(std::move(fresh[i]));
  }
  if (static_cast<int>(held.size()) < wanted) own.streamLimit = static_cast<int>(held.size());
  return static_cast<int>(held.size());
}

FRXStreamedOutcome FRXStreams::moveFile(FRXSFTP& owner, int count, const FRXStreamedFile& file,
                                        const std::function<void(std::uint64_t)>& acknowledged,
                                        const std::function<bool()>& stopped) {
  const auto streams = heldStreams(owner, count);
  FileRun run(file.start, file.size, count);
  run.running = static_cast<int>(streams.size());
  std::vector<std::thread> threads;
  for (FRXSFTP* held : streams) {
    threads.emplace_back([&run, &file, stream = held] {
      StreamWorker worker(*stream, stream->connectionState(), stream->sftpState_->channel.get(), run, file);
      worker.run([stream](long code, const char* message) { return stream->channelError(code, message); });
      run.streamEnded();
    });
  }
  bool cancelled = false;
  for (;;) {
    bool ended = false;
    {
      std::unique_lock lock(run.mutex);
      ended = run.changed.wait_for(lock, kReportInterval, [&] { return run.running == 0; });
    }
    acknowledged(file.start + run.acknowledged.load(std::memory_order_relaxed));
    if (ended) break;
    if (!cancelled && !run.stop.load() && stopped()) {
      cancelled = true;
      run.stop.store(true);
    }
  }
  for (std::thread& thread : threads) thread.join();

  FRXStreamedOutcome outcome;
  outcome.wholePrefix = run.wholePrefix();
  if (run.failure) {
    outcome.error = run.failure;
    outcome.delegateHearsError = run.failureHeard;
  } else if (cancelled) {
    outcome.error = cancelledError();
  } else if (outcome.wholePrefix < file.size) {
    outcome.error = run.streamFailure ? *run.streamFailure : sftpError(FRXSFTPErrorTransfer, "No stream could move the file.");
  }
  return outcome;
}

namespace {

// One callback of a file's transfer, kept until the file's turn to be reported comes.
struct ItemEvent {
  enum class Kind { Speed, Progress, Bytes, Failed, Completed };

  explicit ItemEvent(Kind kind) : kind(kind) {}

  Kind kind;
  double value = 0;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::string text;
  std::optional<FRXError> error;
};

struct ItemRecord {
  std::vector<ItemEvent> events;
  bool finished = false;
  FRXTransferOutcome outcome;
};

struct ItemsRun {
  explicit ItemsRun(std::size_t count) : records(count) {}

  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<ItemRecord> records;
  int running = 0;
};

// The delegate of a stream while it moves files of a run: every callback is written down for the
// file it belongs to.
class ItemRecorder final : public FRXObject,
                           public FRXConnectionDelegateProtocol,
                           public FRXConnectionSpeedDelegateProtocol,
                           public FRXConnectionTransferDelegateProtocol {
public:
  explicit ItemRecorder(ItemsRun& run) : run_(run) {}
  void setItem(std::size_t index) { index_ = index; }

  void connectionDidFailOperationWithError(FRXConnection&, const FRXError* error) override {
    ItemEvent event(ItemEvent::Kind::Failed);
    if (error != nullptr) event.error = *error;
    add(std::move(event));
  }
  void connectionDidCompleteOperation(FRXConnection&) override { add(ItemEvent(ItemEvent::Kind::Completed)); }
  void connectionDidUpdateProgress(FRXConnection&, double progress) override {
    ItemEvent event(ItemEvent::Kind::Progress);
    event.value = progress;
    add(std::move(event));
  }
  void connectionDidUpdateTransferSpeed(FRXConnection&, const std::string& speed) override {
    ItemEvent event(ItemEvent::Kind::Speed);
    event.text = speed;
    add(std::move(event));
  }
  void connectionDidTransferBytes(FRXConnection&, std::uint64_t done, std::uint64_t total, double rate) override {
    ItemEvent event(ItemEvent::Kind::Bytes);
    event.value = rate;
    event.done = done;
    event.total = total;
    add(std::move(event));
  }

private:
  void add(ItemEvent event) {
    std::lock_guard lock(run_.mutex);
    run_.records[index_].events.push_back(std::move(event));
  }

  ItemsRun& run_;
  std::size_t index_ = 0;
};

FRXTransferOutcome moveOneItem(FRXSFTP& sftp, const FRXTransferItem& item, bool upload) {
  FRXError error;
  bool done = false;
  if (upload) {
    done = item.resume ? sftp.resumeItemAtPath(item.sourcePath, item.destinationPath, &error)
                       : sftp.copyItemAtPath(item.sourcePath, item.destinationPath, &error);
  } else {
    done = item.resume ? sftp.resumeItemAtRemotePath(item.sourcePath, item.destinationPath, &error)
                       : sftp.copyItemAtRemotePath(item.sourcePath, item.destinationPath, &error);
  }
  return FRXTransferOutcome{done, done ? std::nullopt : std::optional(error)};
}

}  // namespace

std::vector<FRXTransferOutcome> FRXStreams::moveItems(FRXSFTP& owner, int count,
                                                      const std::vector<FRXTransferItem>& items, bool upload,
                                                      const FRXTransferItemObserver& observer) {
  FRXSFTPState& own = *owner.sftpState_;
  const auto streams = heldStreams(owner, count);
  ItemsRun run(items.size());
  const bool speed = owner.speedWanted();
  run.running = static_cast<int>(streams.size());
  std::vector<std::thread> threads;
  for (FRXSFTP* held : streams) {
    held->setPipelined(own.pipelined);
    held->setReportsSpeed(speed);
    threads.emplace_back([&run, &items, upload, stream = held] {
      ItemRecorder recorder(run);
      stream->setDelegate(&recorder);
      // A stream whose connection broke takes no further file; the others, or the caller, do.
      while (!run.stop.load() && stream->isConnected()) {
        const std::size_t index = run.next.fetch_add(1);
        if (index >= items.size()) break;
        recorder.setItem(index);
        FRXTransferOutcome outcome = moveOneItem(*stream, items[index], upload);
        // A lost or silent connection would fail every file it took next: it takes no more.
        if (const std::string why = outcome.error ? outcome.error->reason() : ""; why == "connection lost" || why == "timed out") {
          stream->disconnect();
        }
        std::lock_guard lock(run.mutex);
        run.records[index].finished = true;
        run.records[index].outcome = std::move(outcome);
        run.changed.notify_all();
      }
      stream->setDelegate(nullptr);
      std::lock_guard lock(run.mutex);
      --run.running;
      run.changed.notify_all();
    });
  }

  auto replay = [&](const std::vector<ItemEvent>& events) {
    for (const ItemEvent& event : events) {
      switch (event.kind) {
        case ItemEvent::Kind::Speed:
          if (auto* listener = owner.speedDelegate()) listener->connectionDidUpdateTransferSpeed(owner, event.text);
          break;
        case ItemEvent::Kind::Progress:
          if (auto* delegate = owner.conformingDelegate()) delegate->connectionDidUpdateProgress(owner, event.value);
          break;
        case ItemEvent::Kind::Bytes:
          if (auto* counts = owner.transferDelegate()) {
            counts->connectionDidTransferBytes(owner, event.done, event.total, event.value);
          }
          break;
        case ItemEvent::Kind::Failed:
          if (auto* delegate = owner.conformingDelegate()) {
            delegate->connectionDidFailOperationWithError(owner, event.error ? &*event.error : nullptr);
          }
          break;
        case ItemEvent::Kind::Completed:
          if (auto* delegate = owner.conformingDelegate()) delegate->connectionDidCompleteOperation(owner);
          break;
      }
    }
  };

  std::vector<FRXTransferOutcome> outcomes(items.size());
  bool cancelled = false;
  for (std::size_t head = 0; head < items.size(); ++head) {
    if (observer) observer(head, nullptr);
    for (;;) {
      std::vector<ItemEvent> events;
      bool finished = false;
      bool untaken = false;
      {
        std::unique_lock lock(run.mutex);
        ItemRecord& record = run.records[head];
        run.changed.wait_for(lock, kReportInterval,
                             [&] { return !record.events.empty() || record.finished || run.running == 0; });
        events.swap(record.events);
        finished = record.finished;
        // Every stream has ended and none took this file (nor any after it).
        untaken = !finished && events.empty() && run.running == 0;
        if (finished) outcomes[head] = record.outcome;
      }
      replay(events);
      if (finished) {
        // A cancelled file cancels the rest, wherever the cancel reached it.
        if (outcomes[head].error && outcomes[head].error->code == FRXSFTPErrorCancelled &&
            outcomes[head].error->domain == FRXSFTPErrorDomain && !cancelled) {
          cancelled = true;
          run.stop.store(true);
          for (FRXSFTP* held : streams) held->cancelTransfer();
        }
        break;
      }
      if (!cancelled && owner.transferStopped()) {
        cancelled = true;
        own.cancelRequested.store(false);
        run.stop.store(true);
        for (FRXSFTP* held : streams) held->cancelTransfer();
      }
      if (untaken) {
        if (cancelled) {
          const FRXError error = cancelledError();
          owner.closingStep(false, error, nullptr);
          outcomes[head] = FRXTransferOutcome{false, error};
        } else {
          // Left to this connection: its reports go straight to the delegate.
          outcomes[head] = moveOneItem(owner, items[head], upload);
        }
        break;
      }
    }
    if (observer) observer(head, &outcomes[head]);
  }
  for (std::thread& thread : threads) thread.join();
  // A cancel that reached a stream between two files would otherwise stop its next transfer.
  for (FRXSFTP* held : streams) held->sftpState_->cancelRequested.store(false);
  return outcomes;
}
