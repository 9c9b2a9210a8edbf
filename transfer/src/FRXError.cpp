#include <Ferrix/FRXError.h>

#include "FRXInternal.h"

#include <cerrno>

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
