// File URLs: "file://" then an absolute, percent-encoded path. The path is decoded, loses a trailing
// slash (except "/"), and may hold any byte but NUL; the absolute string is the text as received.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zeb {

class URL {
 public:
  // Bounds what a client can hand us as one URL.
  static constexpr std::size_t kMaxLength = 16 * 1024;

  // Parses a file URL. Nothing for another scheme, a host other than "" or "localhost", a relative
  // or empty path, a bad percent escape, or a NUL byte.
  static std::optional<URL> parse(std::string_view text);
  // The file URL of an absolute path, encoded as RFC 3986 requires.
  static URL fileURLWithPath(std::string_view absolutePath);

  const std::string& absoluteString() const { return absolute_; }
  const std::string& path() const { return path_; }
  std::string lastPathComponent() const;

  bool operator==(const URL& other) const { return absolute_ == other.absolute_; }

 private:
  URL(std::string absolute, std::string path) : absolute_(std::move(absolute)), path_(std::move(path)) {}
  std::string absolute_;
  std::string path_;
};

// Percent-encodes every byte of a path that is not unreserved, "/" or a sub-delimiter safe in paths.
std::string percentEncodePath(std::string_view path);

}  // namespace zeb
