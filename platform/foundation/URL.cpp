#include "platform/foundation/URL.h"

#include <algorithm>
#include <cctype>

namespace zeb {
namespace {

constexpr std::string_view kScheme = "file://";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isPathChar(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case '/': case '!': case '$': case '&': case '\'':
    case '(': case ')': case '*': case '+': case ',': case ';': case '=': case ':': case '@':
      return true;
    default:
      return false;
  }
}

std::optional<std::string> percentDecode(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '%') {
      if (i + 2 >= in.size()) return std::nullopt;
      const int hi = hexValue(in[i + 1]);
      const int lo = hexValue(in[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::string percentEncodePath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    if (isPathChar(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::optional<URL> URL::parse(std::string_view text) {
  if (text.size() > kMaxLength || text.find('\0') != std::string_view::npos) return std::nullopt;
  // The scheme is case-insensitive; everything else is taken as written.
  if (text.size() < kScheme.size() ||
      !std::equal(kScheme.begin(), kScheme.end(), text.begin(),
                  [](char a, char b) { return a == static_cast<char>(std::tolower(static_cast<unsigned char>(b))); }))
    return std::nullopt;
  std::string_view rest = text.substr(kScheme.size());
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") return std::nullopt;
  std::string_view encodedPath = rest.substr(slash);
  // A query or fragment has no place in a file URL naming a place on disk.
  if (encodedPath.find_first_of("?#") != std::string_view::npos) return std::nullopt;
  auto path = percentDecode(encodedPath);
  if (!path || path->empty() || path->front() != '/' || path->find('\0') != std::string::npos) return std::nullopt;
  while (path->size() > 1 && path->back() == '/') path->pop_back();
  return URL(std::string(text), std::move(*path));
}

URL URL::fileURLWithPath(std::string_view absolutePath) {
  std::string path(absolutePath);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return URL(std::string(kScheme) + percentEncodePath(absolutePath), std::move(path));
}

std::string URL::lastPathComponent() const {
  if (path_ == "/") return "/";
  const auto pos = path_.find_last_of('/');
  return path_.substr(pos + 1);
}

}  // namespace zeb
