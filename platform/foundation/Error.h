// Errors as values: a domain, an integer code and a user-info dictionary, as the client platform
// reads them. Also the Cocoa-domain errors of file operations.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace zeb {

class Value;
using Dictionary = std::map<std::string, Value, std::less<>>;

inline constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr std::string_view kFilePathErrorKey = "NSFilePath";
inline constexpr std::string_view kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kPOSIXErrorDomain = "NSPOSIXErrorDomain";

// Foundation's file error codes.
enum CocoaErrorCode : std::int64_t {
  kFileNoSuchFileError = 4,
  kFileLockingError = 255,
  kFileReadUnknownError = 256,
  kFileReadNoPermissionError = 257,
  kFileReadInvalidFileNameError = 258,
  kFileReadTooLargeError = 263,
  kFileReadNoSuchFileError = 260,
  kFileWriteUnknownError = 512,
  kFileWriteNoPermissionError = 513,
  kFileWriteInvalidFileNameError = 514,
  kFileWriteFileExistsError = 516,
  kFileWriteVolumeReadOnlyError = 642,
  kFileWriteOutOfSpaceError = 640,
};

class Error {
 public:
  Error();
  Error(std::string domain, std::int64_t code, Dictionary userInfo);

  // An error whose user info holds exactly the localized description.
  static Error withDescription(std::string domain, std::int64_t code, std::string description);

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  const Dictionary& userInfo() const { return userInfo_; }

  // The description a user sees: the user info's entry, or Foundation's generic text.
  std::string localizedDescription() const;

  bool operator==(const Error& other) const;

 private:
  std::string domain_;
  std::int64_t code_ = 0;
  Dictionary userInfo_;
};

enum class FileOperation { kRead, kWrite };

// The Cocoa-domain error Foundation's file manager reports for a failed system call, carrying the
// path and the underlying POSIX error.
Error cocoaFileError(int posixErrno, std::string_view path, FileOperation op);

// A POSIX-domain error for errno.
Error posixError(int posixErrno, std::string_view what = {});

// The errno an error stands for: its own code in the POSIX domain, else that of the POSIX error
// beneath it; 0 when there is none.
int posixErrorCode(const Error& error);

}  // namespace zeb
