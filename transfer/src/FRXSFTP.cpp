#include <Ferrix/FRXSFTP.h>

#include "FRXConnectionState.h"
#include "FRXInternal.h"
#include "FRXSFTPState.h"
#include "FRXStreams.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>
#include <vector>

std::atomic<std::uint8_t> shouldUpdateSpeed{0};

namespace {

// Buffers for one directory entry's name and long entry.
constexpr std::size_t kEntryNameCapacity = 512;
constexpr long kCreatedDirectoryMode = 0755;
constexpr std::uint64_t kFileTypeMask = 0xF000;
constexpr std::uint64_t kRegularFile = 0x8000;
constexpr std::uint64_t kDirectory = 0x4000;

FRXError sftpError(long code, std::string message) {
  return frx::makeError(FRXSFTPErrorDomain, code, std::move(message));
}

FRXError noConnectionError() { return sftpError(FRXSFTPErrorNoConnection, "No SFTP connection."); }

bool hasCode(const FRXError& error, long code) { return error.domain == FRXSFTPErrorDomain && error.code == code; }

FRXSFTPRecord recordFrom(std::string name, const LIBSSH2_SFTP_ATTRIBUTES& attributes, std::string longEntry = {}) {
  FRXSFTPRecord record;
  record.name = std::move(name);
  record.permissions = attributes.permissions;
  record.size = static_cast<std::int64_t>(attributes.filesize);
  if ((attributes.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) != 0) {
    record.modificationTime = static_cast<std::int64_t>(attributes.mtime);
    record.accessTime = static_cast<std::int64_t>(attributes.atime);
  }
  if ((attributes.flags & LIBSSH2_SFTP_ATTR_UIDGID) != 0) {
    record.uid = attributes.uid;
    record.gid = attributes.gid;
  }
  record.longEntry = std::move(longEntry);
  return record;
}

}  // namespace

std::optional<FRXSFTPRecord::Value> FRXSFTPRecord::valueForKey(std::string_view key) const {
  if (key == FRXSFTPFileSystemNameKey) return Value(name);
  if (key == FRXSFTPFileSystemPermissionsKey) return Value(permissions);
  if (key == FRXSFTPFileSystemSizeKey) return Value(size);
  return std::nullopt;
}

FRXSFTP::FRXSFTP(std::string_view address, std::string_view username, FRXPassword password)
    : FRXConnection(address, username, std::move(password)), sftpState_(std::make_unique<FRXSFTPState>()) {}

FRXSFTP::FRXSFTP(std::string_view address, std::string_view username, std::string_view privateKeyPath,
                 std::optional<std::string> publicKeyPath)
    : FRXConnection(address, username, privateKeyPath, std::move(publicKeyPath)),
      sftpState_(std::make_unique<FRXSFTPState>()) {}

FRXSFTP::~FRXSFTP() { dealloc(); }

void FRXSFTP::cancelTransfer() { sftpState_->cancelRequested.store(true, std::memory_order_relaxed); }
bool FRXSFTP::pipelined() const { return sftpState_->pipelined; }
void FRXSFTP::setPipelined(bool pipelined) { sftpState_->pipelined = pipelined; }
int FRXSFTP::streams() const { return sftpState_->streams; }
void FRXSFTP::setStreams(int count) { sftpState_->streams = std::max(count, 1); }
std::uint64_t FRXSFTP::streamThreshold() const { return sftpState_->streamThreshold; }
void FRXSFTP::setStreamThreshold(std::uint64_t bytes) { sftpState_->streamThreshold = bytes; }
int FRXSFTP::availableStreams() const {
  return sftpState_->streamLimit ? std::min(sftpState_->streams, std::max(*sftpState_->streamLimit, 1))
                                 : sftpState_->streams;
}
std::optional<bool> FRXSFTP::reportsSpeed() const { return sftpState_->reportsSpeed; }
void FRXSFTP::setReportsSpeed(std::optional<bool> reports) { sftpState_->reportsSpeed = reports; }

bool FRXSFTP::isConnected() const {
  return FRXConnection::isConnected() && static_cast<bool>(sftpState_->channel) && !sftpState_->disconnectPending;
}

bool FRXSFTP::connectWithError(FRXError* error) {
  bool result = false;
  std::optional<FRXError> produced;
  if (isConnected()) {
    result = true;
  } else if (FRXConnection::isConnected()) {
    // A session without a channel (a failed login or channel opening): only disconnect clears it.
    // The delegate hears the failure without an error; the caller learns why.
    result = false;
    if (error != nullptr) {
      *error = sftpError(FRXSFTPErrorConnection, "A session without an SFTP channel is held; disconnect first.");
    }
  } else {
    FRXError baseError;
    if (!FRXConnection::connectWithError(&baseError)) {
      produced = baseError;
    } else if (LIBSSH2_SFTP* channel =
                   connectionState().patiently([&] { return libssh2_sftp_init(connectionState().rawSession()); });
               channel == nullptr) {
      produced = channelError(FRXSFTPErrorConnection, "SFTP connection error");
    } else {
      sftpState_->channel = FRXSFTPChannelHandle(channel);
      result = true;
    }
  }
  if (produced && error != nullptr) *error = *produced;
  if (result && !produced) {
    if (!sftpState_->isStream) shouldUpdateSpeed.store(speedDelegate() != nullptr ? 1 : 0, std::memory_order_relaxed);
  } else if (auto* delegate = conformingDelegate()) {
    delegate->connectionDidFailOperationWithError(*this, produced ? &*produced : nullptr);
  }
  return result;
}

bool FRXSFTP::disconnect() {
  // From a delegate callback in the middle of a transfer: the transfer ends first (endTransfer).
  if (sftpState_->transferHandle != nullptr || sftpState_->itemsInFlight) {
    sftpState_->disconnectPending = true;
    return true;
  }
  sftpState_->disconnectPending = false;
  sftpState_->streamLimit.reset();
  // Closing a channel waits a round trip for the server's answer: the streams close theirs side
  // by side with this one.
  std::vector<std::thread> closing;
  for (auto& stream : sftpState_->streamConnections) closing.emplace_back([held = std::move(stream)]() mutable { held.reset(); });
  sftpState_->streamConnections.clear();
  sftpState_->channel.reset();
  const bool disconnected = FRXConnection::disconnect();
  for (std::thread& thread : closing) thread.join();
  return disconnected;
}

FRXError FRXSFTP::channelError(long code, std::string message) {
  if (frx::timedOut(connectionState().rawSession())) {
    FRXConnectionState& state = connectionState();
    FRXError timedOut = frx::annotated(
        sftpError(FRXSFTPErrorTimedOut, state.keepalivesUnanswered ? "The server did not answer its keepalive messages."
                                                                    : "The operation timed out."),
        state.rawSession());
    state.abandonSession();
    return timedOut;
  }
  return frx::annotated(sftpError(code, std::move(message)), connectionState().rawSession(), sftpState_->channel.get());
}

bool FRXSFTP::closingStep(bool succeeded, const std::optional<FRXError>& produced, FRXError* error,
                          bool reportProduced) {
  // Every failure overwrites the caller's error, also where the delegate hears none.
  if (error != nullptr) {
    if (produced) {
      *error = *produced;
    } else if (!succeeded) {
      *error = sftpError(FRXSFTPErrorTransfer, "The operation failed.");
    }
  }
  if (auto* delegate = conformingDelegate()) {
    if (!succeeded || produced) {
      delegate->connectionDidFailOperationWithError(*this, produced && reportProduced ? &*produced : nullptr);
    } else {
      delegate->connectionDidCompleteOperation(*this);
    }
  }
  return succeeded;
}

std::vector<FRXSFTPRecord> FRXSFTP::contentsOfDirectoryAtPath(std::string_view path, FRXError* error) {
  std::vector<FRXSFTPRecord> records;
  std::optional<FRXError> produced;
  if (!isConnected()) {
    produced = noConnectionError();
  } else {
    connectionState().sendKeepaliveIfDue();
    FRXSFTPFileHandle directory(connectionState().patiently([&] {
      return libssh2_sftp_open_ex(sftpState_->channel.get(), path.data(), static_cast<unsigned int>(path.size()), 0,
                                  0, LIBSSH2_SFTP_OPENDIR);
    }));
    if (!directory) {
      produced = channelError(FRXSFTPErrorNotFound, "Remote directory couldn't be found.");
    } else {
      std::array<char, kEntryNameCapacity> name{};
      std::array<char, kEntryNameCapacity> longEntry{};
      for (;;) {
        LIBSSH2_SFTP_ATTRIBUTES attributes{};
        int length = connectionState().patiently([&] {
          return libssh2_sftp_readdir_ex(directory.get(), name.data(), name.size(), longEntry.data(), longEntry.size(),
                                         &attributes);
        });
        // A failed read ends the listing like its end does, and what was read stays; only a
        // timeout fails the listing, as the connection is gone.
        if (length < 0 && frx::timedOut(connectionState().rawSession())) {
          produced = channelError(FRXSFTPErrorTimedOut, "");
        }
        if (length <= 0) break;
        records.push_back(recordFrom(std::string(name.data(), static_cast<std::size_t>(length)), attributes,
                                     std::string(longEntry.data(), ::strnlen(longEntry.data(), longEntry.size()))));
      }
    }
  }
  closingStep(!produced, produced, error);
  if (produced) records.clear();
  return records;
}

std::optional<FRXSFTPRecord> FRXSFTP::attributesOfItemAtPath(std::string_view path, FRXError* error) {
  std::optional<FRXSFTPRecord> record;
  std::optional<FRXError> produced;
  if (!isConnected()) {
    produced = noConnectionError();
  } else {
    connectionState().sendKeepaliveIfDue();
    // Asked by path, not by opening the item: opening a FIFO would block the server (and us).
    LIBSSH2_SFTP_ATTRIBUTES attributes{};
    if (connectionState().patiently([&] {
          return libssh2_sftp_stat_ex(sftpState_->channel.get(), path.data(), static_cast<unsigned int>(path.size()),
                                      LIBSSH2_SFTP_STAT, &attributes);
        }) != 0) {
      produced = channelError(FRXSFTPErrorNotFound, "Remote item couldn't be found.");
    } else {
      record = recordFrom(std::string(path), attributes);
    }
  }
  closingStep(!produced, produced, error);
  return record;
}

bool FRXSFTP::removeItemAtPath(std::string_view path, FRXError* error) {
  if (!isConnected()) return closingStep(false, noConnectionError(), error);
  connectionState().sendKeepaliveIfDue();
  int rc = connectionState().patiently([&] {
    return libssh2_sftp_unlink_ex(sftpState_->channel.get(), path.data(), static_cast<unsigned int>(path.size()));
  });
  if (rc != 0) {
    return closingStep(false, channelError(FRXSFTPErrorRemoval, "There was an error removing the file: " + std::to_string(rc)),
                       error);
  }
  return closingStep(true, std::nullopt, error);
}

bool FRXSFTP::setTimesOfItemAtPath(std::string_view path, std::int64_t accessTime, std::int64_t modificationTime,
                                   FRXError* error) {
  if (!isConnected()) return closingStep(false, noConnectionError(), error);
  // Version 3 of the protocol carries 32-bit unsigned times: anything else would arrive wrapped.
  constexpr std::int64_t kLatest = 0xFFFFFFFFLL;
  if (accessTime < 0 || modificationTime < 0 || accessTime > kLatest || modificationTime > kLatest) {
    return closingStep(false, sftpError(FRXSFTPErrorRemoteFile, "The times can't be sent to the server."), error);
  }
  connectionState().sendKeepaliveIfDue();
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  attributes.flags = LIBSSH2_SFTP_ATTR_ACMODTIME;
  attributes.atime = static_cast<unsigned long>(accessTime);
  attributes.mtime = static_cast<unsigned long>(modificationTime);
  int rc = connectionState().patiently([&] {
    return libssh2_sftp_stat_ex(sftpState_->channel.get(), path.data(), static_cast<unsigned int>(path.size()),
                                LIBSSH2_SFTP_SETSTAT, &attributes);
  });
  if (rc != 0) {
    return closingStep(
        false, channelError(FRXSFTPErrorRemoteFile, "There was an error setting the item's times: " + std::to_string(rc)),
        error);
  }
  return closingStep(true, std::nullopt, error);
}

bool FRXSFTP::renameItemAtPath(std::string_view path, std::string_view newPath, FRXError* error) {
  return renameItemAtPath(path, newPath, false, error);
}

bool FRXSFTP::renameItemAtPath(std::string_view path, std::string_view newPath, bool replaceExisting, FRXError* error) {
  if (!isConnected()) return closingStep(false, noConnectionError(), error);
  connectionState().sendKeepaliveIfDue();
  LIBSSH2_SFTP* channel = sftpState_->channel.get();
  // Version 3 servers ignore the flags and decide themselves whether a target is overwritten, so
  // the target is looked at first (lstat: a dangling link is an item too).
  LIBSSH2_SFTP_ATTRIBUTES target{};
  const bool targetExists = connectionState().patiently([&] {
    return libssh2_sftp_stat_ex(channel, newPath.data(), static_cast<unsigned int>(newPath.size()), LIBSSH2_SFTP_LSTAT,
                                &target);
  }) == 0;
  if (frx::timedOut(connectionState().rawSession())) return closingStep(false, channelError(FRXSFTPErrorTimedOut, ""), error);
  const bool targetIsDirectory = targetExists && (target.permissions & kFileTypeMask) == kDirectory;
  if (targetExists && (!replaceExisting || targetIsDirectory)) {
    return closingStep(false, sftpError(FRXSFTPErrorItemExists, "An item exists at the specified path."), error);
  }
  auto rename = [&] {
    return connectionState().patiently([&] {
      return libssh2_sftp_rename_ex(channel, path.data(), static_cast<unsigned int>(path.size()), newPath.data(),
                                    static_cast<unsigned int>(newPath.size()),
                                    LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC |
                                        LIBSSH2_SFTP_RENAME_NATIVE);
    });
  };
  int rc = rename();
  if (rc != 0 && targetExists && !frx::timedOut(connectionState().rawSession())) {
    // The server would not rename over the file: it goes first, only once the source is known to exist.
    LIBSSH2_SFTP_ATTRIBUTES source{};
    if (connectionState().patiently([&] {
          return libssh2_sftp_stat_ex(channel, path.data(), static_cast<unsigned int>(path.size()), LIBSSH2_SFTP_LSTAT,
                                      &source);
        }) == 0 &&
        connectionState().patiently([&] {
          return libssh2_sftp_unlink_ex(channel, newPath.data(), static_cast<unsigned int>(newPath.size()));
        }) == 0) {
      rc = rename();
    }
  }
  if (rc != 0) {
    return closingStep(false,
                       channelError(FRXSFTPErrorRemoteFile, "There was an error renaming the item: " + std::to_string(rc)),
                       error);
  }
  return closingStep(true, std::nullopt, error);
}

bool FRXSFTP::removeAllContentsOfDirectoryAtPath(std::string_view path, FRXError* error) {
  if (!isConnected()) return closingStep(false, noConnectionError(), error, false);

  // A directory that can't be listed has nothing to remove.
  FRXError listingError;
  const std::vector<FRXSFTPRecord> entries = contentsOfDirectoryAtPath(path, &listingError);
  bool result = true;
  std::optional<FRXError> produced;
  if (!listingError.domain.empty() && listingError.code == FRXSFTPErrorTimedOut) {
    result = false;
    produced = listingError;
  }
  for (const FRXSFTPRecord& entry : entries) {
    if (!entry.name.empty() && entry.name.front() == '.') continue;  // ".", ".." and hidden entries stay
    const std::string child = std::string(path) + "/" + entry.name;
    const std::uint64_t type = entry.permissions & kFileTypeMask;
    FRXError childError;
    if (type == kRegularFile) {
      result = removeItemAtPath(child, &childError);
    } else if (type == kDirectory) {
      result = removeDirectoryAtPath(child, &childError);
    } else {
      break;  // a link, device or socket ends the walk; the result stands
    }
    if (!result) {
      produced = childError;
      break;
    }
  }
  // The delegate hears the walk's failure without an error; the caller gets the entry's.
  return closingStep(result, produced, error, false);
}

bool FRXSFTP::removeDirectoryAtPath(std::string_view path, FRXError* error) {
  if (!isConnected()) return closingStep(false, noConnectionError(), error, false);
  if (FRXError contentsError; !removeAllContentsOfDirectoryAtPath(path, &contentsError)) {
    return closingStep(false, contentsError, error, false);
  }
  int rc = connectionState().patiently([&] {
    return libssh2_sftp_rmdir_ex(sftpState_->channel.get(), path.data(), static_cast<unsigned int>(path.size()));
  });
  if (rc != 0) {
    return closingStep(false,
                       channelError(FRXSFTPErrorRemoval, "There was an error removing the directory: " + std::to_string(rc)),
                       error, false);
  }
  return closingStep(true, std::nullopt, error);
}

bool FRXSFTP::createDirectoryAtPath(std::string_view path, FRXError* error) {
  // The parent's listing is also this operation's connection test.
  FRXError listingError;
  const std::vector<FRXSFTPRecord> siblings =
      contentsOfDirectoryAtPath(frx::deletingLastPathComponent(path), &listingError);
  if (!listingError.domain.empty()) {
    if (error != nullptr) *error = listingError;
    return false;
  }
  const std::string name = frx::lastPathComponent(path);
  for (const FRXSFTPRecord& sibling : siblings) {
    if (sibling.name == name) {
      if (error != nullptr) *error = sftpError(FRXSFTPErrorItemExists, "An item exists at the specified path.");
      return false;
    }
  }
  int rc = connectionState().patiently([&] {
    return libssh2_sftp_mkdir_ex(sftpState_->channel.get(), path.data(), static_cast<unsigned int>(path.size()),
                                kCreatedDirectoryMode);
  });
  if (rc < 0) {
    if (error != nullptr) {
      *error = channelError(FRXSFTPErrorRemoteFile, "libssh2_sftp_mkdir failed: " + std::to_string(rc) + "\n");
    }
    return false;
  }
  return true;
}

bool FRXSFTP::createDirectoryAtPath(std::string_view path, bool withIntermediateDirectories, FRXError* error) {
  if (!isConnected()) return closingStep(false, noConnectionError(), error);
  if (!withIntermediateDirectories) {
    FRXError created;
    const bool made = createDirectoryAtPath(path, &created);
    return closingStep(made, made ? std::nullopt : std::optional(created), error, false);
  }

  const std::vector<std::string> components = frx::pathComponents(path);
  if (components.size() == 1 && components.front() == "/") return closingStep(true, std::nullopt, error);

  // Each prefix in turn; the first component is never created itself, except when it is the only
  // one. An existing prefix counts as success; an unlistable parent is passed over.
  std::vector<std::string> steps;
  if (components.size() == 1) {
    steps.push_back(components.front());
  } else if (components.size() > 1) {
    std::string prefix = components.front();
    for (std::size_t i = 1; i < components.size(); ++i) {
      prefix += "/" + components[i];
      steps.push_back(prefix);
    }
  }
  bool result = false;
  std::optional<FRXError> produced;
  for (const std::string& step : steps) {
    FRXError stepError;
    if (createDirectoryAtPath(step, &stepError) || hasCode(stepError, FRXSFTPErrorItemExists)) {
      result = true;
    } else if (!hasCode(stepError, FRXSFTPErrorNotFound)) {
      produced = stepError;
      result = false;
      break;
    }
  }
  return closingStep(result, produced, error);
}
