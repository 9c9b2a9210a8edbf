#include <Ferrix/FRXError.h>

#include "FRXInternal.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

// Foundation's codes for file errors.
constexpr long kFileNoSuchFile = 4;
constexpr long kFileReadUnknown = 256;
constexpr long kFileReadNoPermission = 257;
constexpr long kFileReadNoSuchFile = 260;
constexpr long kFileWriteUnknown = 512;
constexpr long kFileWriteNoPermission = 513;
constexpr long kFileWriteFileExists = 516;
constexpr long kFileWriteOutOfSpace = 640;
constexpr long kFileWriteVolumeReadOnly = 642;

std::string quoted(std::string_view path) {
  return "\u201c" + frx::lastPathComponent(path) + "\u201d";
}

}  // namespace

std::string FRXError::description() const {
  return domain + " " + std::to_string(code) + ": " + localizedDescription;
}

namespace frx {

FRXError makeError(std::string_view domain, long code, std::string message) {
  FRXError error;
  error.domain = domain;
  error.code = code;
  error.localizedDescription = std::move(message);
  return error;
}

FRXError localReadError(std::string_view path, int posixError) {
  long code = kFileReadUnknown;
  std::string message = "The file " + quoted(path) + " couldn\u2019t be opened.";
  if (posixError == ENOENT || posixError == ENOTDIR) {
    code = kFileReadNoSuchFile;
    message = "The file " + quoted(path) + " couldn\u2019t be opened because there is no such file.";
  } else if (posixError == EACCES || posixError == EPERM) {
    code = kFileReadNoPermission;
    message = "The file " + quoted(path) + " couldn\u2019t be opened because you don\u2019t have permission to view it.";
  }
  FRXError error = makeError(FRXCocoaErrorDomain, code, std::move(message));
  error.filePath = path;
  error.underlyingPOSIXError = posixError;
  return error;
}

FRXError localWriteError(std::string_view path, int posixError) {
  long code = kFileWriteUnknown;
  std::string message = "The file " + quoted(path) + " couldn\u2019t be saved.";
  switch (posixError) {
    case ENOENT:
    case ENOTDIR:
      code = kFileNoSuchFile;
      message = "The folder " + quoted(deletingLastPathComponent(path)) + " doesn\u2019t exist.";
      break;
    case EACCES:
    case EPERM:
      code = kFileWriteNoPermission;
      message = "You don\u2019t have permission to save the file " + quoted(path) + ".";
      break;
    case EEXIST:
      code = kFileWriteFileExists;
      message = "The file " + quoted(path) + " couldn\u2019t be saved because a file with the same name already exists.";
      break;
    case ENOSPC:
    case EDQUOT:
      code = kFileWriteOutOfSpace;
      message = "The file " + quoted(path) + " couldn\u2019t be saved because there isn\u2019t enough space.";
      break;
    case EROFS:
      code = kFileWriteVolumeReadOnly;
      message = "The file " + quoted(path) + " couldn\u2019t be saved because the volume is read only.";
      break;
    default:
      break;
  }
  FRXError error = makeError(FRXCocoaErrorDomain, code, std::move(message));
  error.filePath = path;
  error.underlyingPOSIXError = posixError;
  return error;
}

}  // namespace frx

namespace frx {

FRXError annotated(FRXError error, LIBSSH2_SESSION* session, LIBSSH2_SFTP* sftp) {
  if (session == nullptr) return error;
  char* text = nullptr;
  int length = 0;
  error.sessionErrorCode = libssh2_session_last_error(session, &text, &length, 0);
  if (text != nullptr && length > 0) error.sessionErrorMessage.assign(text, static_cast<std::size_t>(length));
  if (sftp != nullptr && error.sessionErrorCode == LIBSSH2_ERROR_SFTP_PROTOCOL) {
    error.sftpStatus = libssh2_sftp_last_error(sftp);
  }
  return error;
}

bool timedOut(LIBSSH2_SESSION* session) {
  return session != nullptr && libssh2_session_last_errno(session) == LIBSSH2_ERROR_TIMEOUT;
}

}  // namespace frx

std::string FRXError::reason() const {
  if ((domain == FRXErrorDomain && code == FRXConnectionErrorTimedOut) ||
      (domain == FRXSFTPErrorDomain && code == FRXSFTPErrorTimedOut) || sessionErrorCode == LIBSSH2_ERROR_TIMEOUT) {
    return "timed out";
  }
  if (domain == FRXSFTPErrorDomain && code == FRXSFTPErrorCancelled) return "cancelled";
  if (domain == FRXSFTPErrorDomain && code == FRXSFTPErrorNotRegularFile) return "not a regular file";
  if (domain == FRXSFTPErrorDomain && code == FRXSFTPErrorItemExists) return "file already exists";
  switch (sftpStatus) {
    case LIBSSH2_FX_EOF: return "end of file";
    case LIBSSH2_FX_NO_SUCH_FILE: return "no such file";
    case LIBSSH2_FX_PERMISSION_DENIED: return "permission denied";
    case LIBSSH2_FX_FAILURE: return "failure reported by the server";
    case LIBSSH2_FX_BAD_MESSAGE: return "bad message";
    case LIBSSH2_FX_NO_CONNECTION:
    case LIBSSH2_FX_CONNECTION_LOST: return "connection lost";
    case LIBSSH2_FX_OP_UNSUPPORTED: return "operation not supported by the server";
    case LIBSSH2_FX_NO_SUCH_PATH: return "no such path";
    case LIBSSH2_FX_FILE_ALREADY_EXISTS: return "file already exists";
    case LIBSSH2_FX_WRITE_PROTECT: return "write protected";
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM: return "no space left on the server";
    case LIBSSH2_FX_QUOTA_EXCEEDED: return "quota exceeded";
    case LIBSSH2_FX_DIR_NOT_EMPTY: return "directory not empty";
    case LIBSSH2_FX_NOT_A_DIRECTORY: return "not a directory";
    case LIBSSH2_FX_INVALID_FILENAME: return "invalid file name";
    case LIBSSH2_FX_LINK_LOOP: return "too many levels of links";
    default: break;
  }
  switch (sessionErrorCode) {
    case LIBSSH2_ERROR_SOCKET_DISCONNECT:
    case LIBSSH2_ERROR_SOCKET_SEND:
    case LIBSSH2_ERROR_SOCKET_RECV:
    case LIBSSH2_ERROR_CHANNEL_CLOSED:
    case LIBSSH2_ERROR_CHANNEL_EOF_SENT:
    case LIBSSH2_ERROR_BAD_SOCKET: return "connection lost";
    default: break;
  }
  if (underlyingPOSIXError != 0) {
    std::string text = std::strerror(underlyingPOSIXError);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
  }
  return {};
}
