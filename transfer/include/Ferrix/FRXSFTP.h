// FRXSFTP: an FRXConnection with an SFTP channel and the remote file operations: listing,
// attributes, removal, directory creation, upload and download. Each operation blocks, returns its
// result, fills the optional error and tells the delegate how it ended before returning.
#pragma once

#include <Ferrix/FRXConnection.h>
#include <Ferrix/FRXError.h>
#include <Ferrix/FRXExport.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The keys of a directory-entry record.
inline constexpr std::string_view FRXSFTPFileSystemNameKey = "fx_sftp_fs_name_key";
inline constexpr std::string_view FRXSFTPFileSystemPermissionsKey = "fx_sftp_fs_perm_key";
inline constexpr std::string_view FRXSFTPFileSystemSizeKey = "fx_sftp_fs_size_key";

// Whether transfers send speed texts. Process-wide: every successful connect of an FRXSFTP sets it
// from its own delegate (1 when that delegate implements the speed callback, else 0). An object whose
// setReportsSpeed was called follows its own setting instead.
extern FRX_EXPORT std::atomic<std::uint8_t> shouldUpdateSpeed;

// One directory entry, readable by field or by the three keys above.
struct FRX_EXPORT FRXSFTPRecord {
  using Value = std::variant<std::string, std::uint64_t, std::int64_t>;

  std::string name;             // a listing's entry name, or the path given to attributesOfItemAtPath
  std::uint64_t permissions = 0; // the SFTP permission word, file-type bits (0xF000) included
  std::int64_t size = 0;
  // What the server sent beyond the three keyed fields; absent when it sent none. Times are seconds
  // since the epoch.
  std::optional<std::int64_t> modificationTime;
  std::optional<std::int64_t> accessTime;
  std::optional<std::uint64_t> uid;
  std::optional<std::uint64_t> gid;
  // A listing's entry as the server formats it for people ("ls -l" style); empty when it sends none
  // and for attributesOfItemAtPath.
  std::string longEntry;

  // The value under one of the three keys (string, unsigned 64-bit, signed 64-bit); absent otherwise.
  [[nodiscard]] std::optional<Value> valueForKey(std::string_view key) const;
};

// One file of a transfer of many files: from the source to the destination, from the size the
// destination already has when `resume` is set.
struct FRX_EXPORT FRXTransferItem {
  std::string sourcePath;
  std::string destinationPath;
  bool resume = false;
};

// How one file of a transfer of many files ended: `error` is set on failure.
struct FRX_EXPORT FRXTransferOutcome {
  bool succeeded = false;
  std::optional<FRXError> error;
};

// Told on the caller's thread when a file's reports begin (`outcome` null) and once its last report
// has gone to the delegate (with how it ended), for each file in the order given.
using FRXTransferItemObserver = std::function<void(std::size_t index, const FRXTransferOutcome* outcome)>;

// The channel's and the transfers' own state; defined inside the library only.
struct FRXSFTPState;
class FRXStreams;

class FRX_EXPORT FRXSFTP : public FRXConnection {
public:
  // Bytes moved per network call of a transfer.
  static constexpr std::size_t chunkSize = 16384;

  FRXSFTP(std::string_view address, std::string_view username, FRXPassword password);
  FRXSFTP(std::string_view address, std::string_view username, std::string_view privateKeyPath,
          std::optional<std::string> publicKeyPath);
  ~FRXSFTP() override;

  // A session and an SFTP channel are held.
  [[nodiscard]] bool isConnected() const override;
  // Connects and opens the SFTP channel. Already connected: true. A session held without a channel
  // (after a failed login): false without an error, until disconnect.
  [[nodiscard]] bool connectWithError(FRXError* error = nullptr) override;
  // Shuts the channel down, then ends the session.
  bool disconnect() override;

  // The entries of a remote directory in the server's order, "." and ".." included; empty on failure.
  [[nodiscard]] std::vector<FRXSFTPRecord> contentsOfDirectoryAtPath(std::string_view path, FRXError* error = nullptr);
  // The attributes of one remote item, named by the path as given.
  [[nodiscard]] std::optional<FRXSFTPRecord> attributesOfItemAtPath(std::string_view path, FRXError* error = nullptr);
  [[nodiscard]] bool removeItemAtPath(std::string_view path, FRXError* error = nullptr);
  // Removes regular files and directories below `path`, depth first. Hidden entries stay; the walk
  // stops at the first entry that is neither a file nor a directory.
  [[nodiscard]] bool removeAllContentsOfDirectoryAtPath(std::string_view path, FRXError* error = nullptr);
  // Empties the directory as above, then removes it.
  [[nodiscard]] bool removeDirectoryAtPath(std::string_view path, FRXError* error = nullptr);
  // Renames (or moves) a remote item. An item already at `newPath` (a link too) is refused with
  // FRXSFTPErrorItemExists unless `replaceExisting`; then a file or link there is removed first when
  // the server will not rename over it (an SFTP version 3 server, OpenSSH's, never does), so the
  // replacement is not atomic. A directory there is never replaced.
  [[nodiscard]] bool renameItemAtPath(std::string_view path, std::string_view newPath, FRXError* error = nullptr);
  [[nodiscard]] bool renameItemAtPath(std::string_view path, std::string_view newPath, bool replaceExisting,
                                      FRXError* error = nullptr);
  // Sets a remote item's access and modification times (seconds since the epoch).
  [[nodiscard]] bool setTimesOfItemAtPath(std::string_view path, std::int64_t accessTime, std::int64_t modificationTime,
                                          FRXError* error = nullptr);
  // Creates one directory (mode 0755) after checking that the parent's listing has no item of that
  // name. Sends no callback of its own.
  [[nodiscard]] bool createDirectoryAtPath(std::string_view path, FRXError* error = nullptr);
  // With intermediate directories: walks the path's prefixes, creating each in turn.
  [[nodiscard]] bool createDirectoryAtPath(std::string_view path, bool withIntermediateDirectories,
                                           FRXError* error = nullptr);

  // Upload: the local file replaces or creates the remote file, in chunks of chunkSize bytes.
  [[nodiscard]] bool copyItemAtPath(std::string_view localPath, std::string_view remotePath, FRXError* error = nullptr);
  // Download: streamed into a temporary file beside the local path, which is renamed into place once
  // the whole file has arrived. On any failure the local path is left untouched. A file already at
  // the local path keeps its mode; one without write permission is not replaced. Only regular
  // remote files are read.
  [[nodiscard]] bool copyItemAtRemotePath(std::string_view remotePath, std::string_view localPath,
                                          FRXError* error = nullptr);
  // Resumed transfers: continue from the size the destination already has (as OpenSSH's reput and
  // reget do), appending in place. A destination larger than the source fails. A resumed download
  // writes into the local file directly, so a failure leaves what had arrived.
  [[nodiscard]] bool resumeItemAtPath(std::string_view localPath, std::string_view remotePath, FRXError* error = nullptr);
  [[nodiscard]] bool resumeItemAtRemotePath(std::string_view remotePath, std::string_view localPath,
                                            FRXError* error = nullptr);

  // Stops the transfer in progress after its current network call, from any thread (also from a
  // signal handler): it fails with FRXSFTPErrorCancelled and a download leaves no local file. A
  // request made while no transfer runs applies to the next one. disconnect() from a delegate
  // callback also stops the transfer safely.
  void cancelTransfer();

  // Pipelined transfers keep many SFTP requests in flight instead of waiting for each 16384-byte
  // request's answer, which is what makes transfers fast on links with a round trip of a few
  // milliseconds or more. The delegate hears the same reports: a speed and a progress report for
  // every chunkSize bytes the server has acknowledged, in order, 100 last. Their speed text is the
  // rate over about the last second, as acknowledgements come in bursts; stop-and-wait transfers
  // time each chunk alone. Off by default.
  [[nodiscard]] bool pipelined() const;
  void setPipelined(bool pipelined);

  // Parallel streams: with a count above 1, a transfer of at least streamThreshold() bytes is split
  // into parts moved at once over that many further connections of the same login (each its own
  // TCP connection, session and SFTP channel, on a thread of its own), opened on first need and
  // kept until disconnect; this connection keeps the file open and the delegate informed. The
  // delegate hears what it hears of one connection, on the caller's thread: a report per chunkSize
  // bytes acknowledged in all, in order, 100 last, and one failure whichever stream failed (the
  // others are stopped). A failed upload is shortened to the part known to be whole, and a failed
  // resumed download likewise, so that a resume never continues past a hole. When the server
  // refuses some of the connections the transfer uses those it got (availableStreams() tells how
  // many; later transfers do not ask again); with fewer than two, this connection alone. The
  // further connections check the host key this connection saw. Big files go over the streams only
  // when pipelined; many files go one per stream either way. Count 1 (the default): off.
  [[nodiscard]] int streams() const;
  void setStreams(int count);
  // The size (of what is left to move) from which a file goes over the streams; 64 MiB by default.
  [[nodiscard]] std::uint64_t streamThreshold() const;
  void setStreamThreshold(std::uint64_t bytes);
  // How many streams the next transfer may use: streams(), or fewer once the server refused some.
  [[nodiscard]] int availableStreams() const;

  // Many files at once, for trees and globs: with streams, each stream connection moves one file
  // after another while the others do the same, so that their round trips overlap. Each file is
  // reported as copyItemAtPath / copyItemAtRemotePath (or the resumes) would report it, one file
  // after the other in the order given, and every file is tried however the others end. Returns
  // one outcome per item.
  std::vector<FRXTransferOutcome> copyItemsAtPaths(const std::vector<FRXTransferItem>& items,
                                                   const FRXTransferItemObserver& observer = {});
  std::vector<FRXTransferOutcome> copyItemsAtRemotePaths(const std::vector<FRXTransferItem>& items,
                                                         const FRXTransferItemObserver& observer = {});

  // Whether this object's transfers send speed texts to a delegate that implements the speed
  // callback. Unset (the default), the process-wide shouldUpdateSpeed decides; set, it decides for
  // this object alone.
  [[nodiscard]] std::optional<bool> reportsSpeed() const;
  void setReportsSpeed(std::optional<bool> reports);

private:
  // The end of every reporting operation: stores `produced` in the caller's error, then tells a
  // conforming delegate of success, or of failure with `produced` (or with no error when
  // `reportProduced` is false). Returns `succeeded`.
  bool closingStep(bool succeeded, const std::optional<FRXError>& produced, FRXError* error,
                   bool reportProduced = true);
  // After each chunk: the speed text (when `speed` is known), the progress and the byte counts with
  // the smoothed rate.
  void reportChunk(std::uint64_t transferred, std::uint64_t size, std::optional<double> speed, double smoothedRate);
  // The error of a failed libssh2 call on the channel: a timeout becomes FRXSFTPErrorTimedOut (and
  // the session is abandoned); the server's status and libssh2's text are added either way.
  FRXError channelError(long code, std::string message);
  // True when the transfer must stop: cancelTransfer() was called or the delegate disconnected.
  bool transferStopped() const;
  // Whether speed texts go out at all (the per-object switch, else the process-wide flag).
  bool speedWanted() const;
  bool upload(std::string_view localPath, std::string_view remotePath, bool resume, FRXError* error);
  bool download(std::string_view remotePath, std::string_view localPath, bool resume, FRXError* error);
  // Ends a transfer: closes its remote file and carries out a disconnect asked for meanwhile.
  void endTransfer();
  // How many streams a transfer of `bytes` goes over (opening them when needed): 0 for this
  // connection alone.
  int streamsFor(std::uint64_t bytes);
  std::vector<FRXTransferOutcome> copyItems(const std::vector<FRXTransferItem>& items, bool upload,
                                            const FRXTransferItemObserver& observer);

  friend class FRXStreams;

  std::unique_ptr<FRXSFTPState> sftpState_;
};
