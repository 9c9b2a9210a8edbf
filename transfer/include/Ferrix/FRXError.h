// Errors are values: a domain, an integer code and a message, as the library's callers expect them.
#pragma once

#include <Ferrix/FRXExport.h>

#include <string>
#include <string_view>

// Errors of the SSH connection (FRXConnection).
inline constexpr std::string_view FRXErrorDomain = "frx_error_domain";
// Errors of the SFTP operations and transfers (FRXSFTP).
inline constexpr std::string_view FRXSFTPErrorDomain = "frx_sftp_error_domain";
// Errors of local file operations, with Foundation's codes, so callers read them as they would there.
inline constexpr std::string_view FRXCocoaErrorDomain = "NSCocoaErrorDomain";

// Codes of FRXErrorDomain.
enum FRXConnectionErrorCode : long {
  FRXConnectionErrorFailed = 1,            // every other failure of connecting or logging in
  FRXConnectionErrorHostKeyMismatch = 2,   // the server's key differs from the one known for it (or from the pin)
  FRXConnectionErrorTimedOut = 3,          // the server did not answer within the connection's timeout
  FRXConnectionErrorHostKeyUnknown = 4,    // the known-hosts file has no key for this server
  FRXConnectionErrorHostKeyRevoked = 5,    // the server's key is marked @revoked
};

// Codes of FRXSFTPErrorDomain.
enum FRXSFTPErrorCode : long {
  FRXSFTPErrorNoConnection = 0,
  FRXSFTPErrorConnection = 1,
  FRXSFTPErrorNotFound = 2,
  FRXSFTPErrorItemExists = 3,
  FRXSFTPErrorRemoteFile = 4,
  FRXSFTPErrorRemoval = 5,
  FRXSFTPErrorLocalFile = 6,
  FRXSFTPErrorTimedOut = 7,        // the server did not answer within the connection's timeout
  FRXSFTPErrorCancelled = 8,       // cancelTransfer() or disconnect() stopped the transfer
  FRXSFTPErrorNotRegularFile = 9,  // a transfer refused a FIFO, device, directory or socket
  FRXSFTPErrorTransfer = 10,       // a read or write failed midway, or a download found nothing to copy
};

struct FRX_EXPORT FRXError {
  std::string domain;
  long code = 0;
  std::string localizedDescription;
  // Local file errors only: the path concerned and the POSIX error number behind the error (0: none).
  std::string filePath;
  int underlyingPOSIXError = 0;
  // Errors of a connection: what the server and libssh2 last said. The SFTP status code of the
  // server's last answer (LIBSSH2_FX_*, 0: none), libssh2's last error code (0: none) and its text.
  unsigned long sftpStatus = 0;
  int sessionErrorCode = 0;
  std::string sessionErrorMessage;

  // A few plain words on the cause, when one is known: "permission denied", "no such file",
  // "timed out", "connection lost", ...; empty otherwise.
  [[nodiscard]] std::string reason() const;

  // "domain code: message", as the ferrix command prints it.
  [[nodiscard]] std::string description() const;
};
