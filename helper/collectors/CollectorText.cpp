#include "helper/collectors/CollectorText.h"

#include <cstdint>

namespace zeb::collectors {

std::optional<std::string_view> strictUTF8Text(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      cp = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      cp = lead & 0x07u;
    } else {
      return std::nullopt;  // a continuation byte, an overlong lead (C0, C1) or F5 and above
    }
    if (n - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      if ((p[i + k] & 0xC0u) != 0x80u) return std::nullopt;
      cp = (cp << 6) | (p[i + k] & 0x3Fu);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000)) return std::nullopt;  // overlong
    if (cp >= 0xD800 && cp <= 0xDFFF) return std::nullopt;                                   // surrogate
    if (cp > 0x10FFFF) return std::nullopt;
    i += length;
  }
  return bytes;
}

std::string_view outputText(std::string_view bytes) { return strictUTF8Text(bytes).value_or(std::string_view()); }

std::string_view lastLineWithContent(std::string_view text) {
  std::size_t end = text.size();
  while (true) {
    const std::size_t lineFeed = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
    const std::size_t begin = lineFeed == std::string_view::npos ? 0 : lineFeed + 1;
    const std::string_view piece = text.substr(begin, end - begin);
    if (piece.find_first_not_of(' ') != std::string_view::npos || begin == 0) return piece;
    end = lineFeed;
  }
}

std::optional<std::string> mobilityReportPath(std::string_view lastLine) {
  const std::size_t slash = lastLine.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  // The line's final character is dropped whatever it is (normally a closing quotation mark).
  return std::string(lastLine.substr(slash, lastLine.size() - 1 - slash));
}

std::optional<std::string> legacyWifiReportPath(std::string_view standardError) {
  const std::string_view firstLine = standardError.substr(0, standardError.find('\n'));
  const std::size_t marker = firstLine.find(kLegacyWifiReportMarker);
  if (marker == std::string_view::npos) return std::nullopt;
  std::string path(firstLine.substr(marker + kLegacyWifiReportMarker.size()));
  // An extension goes onto the last component: a trailing slash is not part of the name.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path + ".tgz";
}

std::string quotedOutput(std::string_view text) {
  if (text.size() <= kMaxQuotedOutputBytes) return std::string(text);
  std::size_t start = text.size() - kMaxQuotedOutputBytes;
  // Never begin inside a UTF-8 sequence: skip continuation bytes.
  while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
  return std::string(kCutMarker) + std::string(text.substr(start));
}

namespace {

// How many leading bytes of `text` hold only whole characters: a sequence cut off at the end is left
// out (at most three bytes).
std::size_t wholeCharacters(std::string_view text) {
  std::size_t back = 0;
  while (back < 3 && back < text.size() && (static_cast<unsigned char>(text[text.size() - 1 - back]) & 0xC0) == 0x80)
    ++back;
  if (back == text.size()) return text.size();
  const auto lead = static_cast<unsigned char>(text[text.size() - 1 - back]);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return length > back + 1 ? text.size() - 1 - back : text.size();
}

}  // namespace

std::string boundedOutput(const CapturedStream& stream, OutputEnd end) {
  constexpr std::size_t kLimit = CapturedStream::kMemoryBytes;
  if (stream.size() <= kLimit) return stream.all();
  if (end == OutputEnd::kHead) {
    std::string text = stream.head(kLimit);
    text.resize(wholeCharacters(text));
    return text;
  }
  std::string text = stream.tail(kLimit);
  std::size_t start = 0;
  while (start < 3 && start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
  return text.substr(start);
}

bool isStrictUTF8(const CapturedStream& stream) {
  std::string carry;
  const Status whole = stream.forEachPiece([&](std::string_view piece) -> Status {
    std::string text = carry + std::string(piece);
    const std::size_t cut = wholeCharacters(text);
    if (!strictUTF8Text(std::string_view(text).substr(0, cut))) return Error::withDescription("utf8", 1, "invalid");
    carry = text.substr(cut);
    return Ok{};
  });
  return whole.ok() && carry.empty();
}

}  // namespace zeb::collectors
