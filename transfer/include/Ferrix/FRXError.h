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
  FRXConnectionErrorFailed = 1,            // every failure of connecting or logging in
  FRXConnectionErrorHostKeyMismatch = 2,   // the opt-in host key check refused the server
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
};

struct FRX_EXPORT FRXError {
  std::string domain;
  long code = 0;
  std::string localizedDescription;
  // Local file errors only: the path concerned and the POSIX error number behind the error (0: none).
  std::string filePath;
  int underlyingPOSIXError = 0;

  // "domain code: message", as the ferrix command prints it.
  [[nodiscard]] std::string description() const;
};
