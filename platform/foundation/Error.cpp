#include "platform/foundation/Error.h"

#include <cstring>

#include "platform/foundation/Value.h"

namespace zeb {

Error::Error() = default;

Error::Error(std::string domain, std::int64_t code, Dictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

Error Error::withDescription(std::string domain, std::int64_t code, std::string description) {
  Dictionary info;
  info.emplace(std::string(kLocalizedDescriptionKey), Value(std::move(description)));
  return Error(std::move(domain), code, std::move(info));
}

std::string Error::localizedDescription() const {
  if (const Value* v = lookup(userInfo_, kLocalizedDescriptionKey); v && v->asString()) return *v->asString();
  // Foundation's fallback text (with its typographic apostrophe).
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

bool Error::operator==(const Error& other) const {
  return domain_ == other.domain_ && code_ == other.code_ && userInfo_ == other.userInfo_;
}

namespace {

std::int64_t cocoaCodeFor(int e, FileOperation op) {
  const bool read = op == FileOperation::kRead;
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return read ? kFileReadNoSuchFileError : kFileNoSuchFileError;
    case EACCES:
    case EPERM:
    case ELOOP:
      return read ? kFileReadNoPermissionError : kFileWriteNoPermissionError;
    case EEXIST:
    case ENOTEMPTY:
      return kFileWriteFileExistsError;
    case ENOSPC:
    case EDQUOT:
      return kFileWriteOutOfSpaceError;
    case EROFS:
      return kFileWriteVolumeReadOnlyError;
    case ENAMETOOLONG:
      return read ? kFileReadInvalidFileNameError : kFileWriteInvalidFileNameError;
    case EFBIG:
      return kFileReadTooLargeError;
    default:
      return read ? kFileReadUnknownError : kFileWriteUnknownError;
  }
}

std::string cocoaDescriptionFor(std::int64_t code, std::string_view path) {
  const std::string name(path.substr(path.find_last_of('/') == std::string_view::npos ? 0 : path.find_last_of('/') + 1));
  switch (code) {
    case kFileNoSuchFileError:
    case kFileReadNoSuchFileError:
      return "The file \u201c" + name + "\u201d couldn\u2019t be opened because there is no such file.";
    case kFileReadNoPermissionError:
      return "The file \u201c" + name + "\u201d couldn\u2019t be opened because you don\u2019t have permission to view it.";
    case kFileWriteNoPermissionError:
      return "You don\u2019t have permission to save the file \u201c" + name + "\u201d.";
    case kFileWriteFileExistsError:
      return "The file \u201c" + name + "\u201d couldn\u2019t be saved because a file with the same name already exists.";
    case kFileWriteOutOfSpaceError:
      return "The file \u201c" + name + "\u201d couldn\u2019t be saved because there isn\u2019t enough space.";
    case kFileWriteVolumeReadOnlyError:
      return "The file \u201c" + name + "\u201d couldn\u2019t be saved because the volume is read only.";
    default:
      return "The operation couldn\u2019t be completed. (" + std::string(kCocoaErrorDomain) + " error " +
             std::to_string(code) + ".)";
  }
}

}  // namespace

Error posixError(int posixErrno, std::string_view what) {
  std::string text = std::strerror(posixErrno);
  if (!what.empty()) text = std::string(what) + ": " + text;
  return Error::withDescription(std::string(kPOSIXErrorDomain), posixErrno, std::move(text));
}

Error cocoaFileError(int posixErrno, std::string_view path, FileOperation op) {
  const std::int64_t code = cocoaCodeFor(posixErrno, op);
  Dictionary info;
  info.emplace(std::string(kLocalizedDescriptionKey), Value(cocoaDescriptionFor(code, path)));
  info.emplace(std::string(kFilePathErrorKey), Value(std::string(path)));
  info.emplace(std::string(kUnderlyingErrorKey), Value(posixError(posixErrno)));
  return Error(std::string(kCocoaErrorDomain), code, std::move(info));
}

int posixErrorCode(const Error& error) {
  if (error.domain() == kPOSIXErrorDomain) return static_cast<int>(error.code());
  const Value* underlying = lookup(error.userInfo(), kUnderlyingErrorKey);
  const Error* cause = underlying ? underlying->asError() : nullptr;
  return cause && cause->domain() == kPOSIXErrorDomain ? static_cast<int>(cause->code()) : 0;
}

}  // namespace zeb
