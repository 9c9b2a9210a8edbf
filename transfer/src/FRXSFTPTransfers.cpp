// The two transfers of FRXSFTP: upload and download in chunks of FRXSFTP::chunkSize bytes, with a
// speed text and a progress report to the delegate after every chunk.
#include <Ferrix/FRXSFTP.h>
#include <Ferrix/FRXTransferMath.h>

#include "FRXInternal.h"
#include "FRXLocalFile.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <algorithm>
#include <memory>

namespace {

// Upload flags: created when missing, emptied when present.
constexpr unsigned long kUploadFlags = LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC;
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

}  // namespace

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
  // The local file is examined before the connection, so a missing file is reported as such even
  // without a connection.
  const auto examined = frx::localAttributes(localPath);
  if (const auto* localError = std::get_if<FRXError>(&examined)) return closingStep(false, *localError, error);
  if (!isConnected()) return closingStep(false, sftpError(FRXSFTPErrorNoConnection, "No SFTP connection."), error);
  const frx::LocalAttributes& attributes = *std::get_if<frx::LocalAttributes>(&examined);

  FRXSFTPFileHandle remote(libssh2_sftp_open_ex(sftp_session_.get(), remotePath.data(),
                                                static_cast<unsigned int>(remotePath.size()), kUploadFlags,
                                                static_cast<long>(attributes.permissions), LIBSSH2_SFTP_OPENFILE));
  frx::LocalSource source;
  if (source.open(localPath) != 0) {
    remote.reset();
    return closingStep(false, sftpError(FRXSFTPErrorLocalFile, "Unable to open local file for reading."), error);
  }
  if (!remote) {
    source.close();
    return closingStep(false, sftpError(FRXSFTPErrorRemoteFile, "Unable to open remote file for writing."), error);
  }

  auto buffer = std::make_unique<char[]>(chunkSize);
  std::uint64_t readSoFar = 0;
  bool succeeded = true;
  for (;;) {
    const long length = source.readChunk(buffer.get(), chunkSize);
    if (length < 0) {
      succeeded = false;  // a read error is not the end of the file
      break;
    }
    if (length == 0) break;
    readSoFar += static_cast<std::uint64_t>(length);

    const std::optional<double> start = chunkStart();
    std::size_t accepted = 0;
    ssize_t written = 0;
    while (accepted < static_cast<std::size_t>(length)) {
      written = libssh2_sftp_write(remote.get(), buffer.get() + accepted, static_cast<std::size_t>(length) - accepted);
      if (written <= 0) break;
      accepted += static_cast<std::size_t>(written);
    }
    reportChunk(accepted, elapsedSince(start), readSoFar, attributes.size);
    if (written <= 0) {
      succeeded = false;  // what was written stays on the server
      break;
    }
  }
  source.close();
  remote.reset();
  return closingStep(succeeded, std::nullopt, error);
}

bool FRXSFTP::copyItemAtRemotePath(std::string_view remotePath, std::string_view localPath, FRXError* error) {
  if (!isConnected()) return closingStep(false, sftpError(FRXSFTPErrorNoConnection, "No SFTP connection."), error);

  FRXSFTPFileHandle remote(libssh2_sftp_open_ex(sftp_session_.get(), remotePath.data(),
                                                static_cast<unsigned int>(remotePath.size()), LIBSSH2_FXF_READ, 0,
                                                LIBSSH2_SFTP_OPENFILE));
  if (!remote) {
    return closingStep(false, sftpError(FRXSFTPErrorRemoteFile, "Unable to open remote file for reading."), error);
  }
  // Without the size the file is still copied, but no progress can be reported.
  std::uint64_t size = 0;
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  if (libssh2_sftp_fstat_ex(remote.get(), &attributes, 0) == 0) size = attributes.filesize;

  // The local path is only replaced, in one rename, once everything has arrived.
  frx::LocalDestination destination;
  std::optional<FRXError> localError;
  auto buffer = std::make_unique<char[]>(chunkSize);
  std::uint64_t received = 0;
  bool succeeded = true;
  for (;;) {
    const std::optional<double> start = chunkStart();
    const ssize_t length = libssh2_sftp_read(remote.get(), buffer.get(), chunkSize);
    const std::optional<double> seconds = elapsedSince(start);
    if (length == 0) break;
    if (length < 0) {
      succeeded = false;  // a read error is not the end of the file
      break;
    }
    int localErrno = destination.isOpen() ? 0 : destination.create(localPath);
    if (localErrno == 0) localErrno = destination.write(buffer.get(), static_cast<std::size_t>(length));
    if (localErrno != 0) {
      localError = frx::localWriteError(localPath, localErrno);
      succeeded = false;
      break;
    }
    received += static_cast<std::uint64_t>(length);
    reportChunk(static_cast<std::uint64_t>(length), seconds, received, size);
  }
  remote.reset();

  if (succeeded && received == 0) succeeded = false;  // an empty file is not written
  if (succeeded) {
    if (int localErrno = destination.commit(); localErrno != 0) {
      localError = frx::localWriteError(localPath, localErrno);
      succeeded = false;
    }
  }
  // A local write error reaches the caller; the delegate hears the failure without it.
  return closingStep(succeeded, localError, error, false);
}
