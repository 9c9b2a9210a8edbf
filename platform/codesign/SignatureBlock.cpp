#include "platform/codesign/SignatureBlock.h"

#include <algorithm>

namespace zeb::codesign {
namespace {

std::uint32_t readBE32(std::string_view s, std::size_t at) {
  return (std::uint32_t(std::uint8_t(s[at])) << 24) | (std::uint32_t(std::uint8_t(s[at + 1])) << 16) |
         (std::uint32_t(std::uint8_t(s[at + 2])) << 8) | std::uint32_t(std::uint8_t(s[at + 3]));
}

void appendBE32(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v >> 24));
  out.push_back(static_cast<char>(v >> 16));
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

// Reads one length-prefixed field of at most `max` bytes.
std::optional<std::string> field(std::string_view body, std::size_t& at, std::size_t max) {
  if (body.size() - at < 4) return std::nullopt;
  const std::uint32_t len = readBE32(body, at);
  at += 4;
  if (len > max || body.size() - at < len) return std::nullopt;
  std::string out(body.substr(at, len));
  at += len;
  return out;
}

}  // namespace

bool isValidAnchorName(std::string_view name) {
  if (name.empty() || name.size() > kMaxAnchorBytes || name == "." || name == "..") return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                    c == '-';
    if (!ok) return false;
  }
  return true;
}

std::optional<LocatedSignature> parseSignatureBlock(std::string_view tail, std::uint64_t fileSize) {
  const std::size_t fixed = kBlockMagic.size() + 4 + kBlockTrailer.size();
  if (tail.size() < fixed || tail.size() > fileSize) return std::nullopt;
  if (tail.substr(tail.size() - kBlockTrailer.size()) != kBlockTrailer) return std::nullopt;
  const std::uint32_t blockLen = readBE32(tail, tail.size() - kBlockTrailer.size() - 4);
  if (blockLen < fixed || blockLen > kMaxBlockBytes || blockLen > tail.size()) return std::nullopt;
  const std::string_view block = tail.substr(tail.size() - blockLen);
  if (block.substr(0, kBlockMagic.size()) != kBlockMagic) return std::nullopt;
  const std::string_view body = block.substr(kBlockMagic.size(), blockLen - fixed);

  std::size_t at = 0;
  auto identifier = field(body, at, kMaxIdentifierBytes);
  if (!identifier || identifier->empty()) return std::nullopt;
  auto anchor = field(body, at, kMaxAnchorBytes);
  if (!anchor || !isValidAnchorName(*anchor)) return std::nullopt;
  if (body.size() - at < 8) return std::nullopt;
  const std::uint64_t signedLength = (std::uint64_t{readBE32(body, at)} << 32) | readBE32(body, at + 4);
  at += 8;
  auto digest = field(body, at, sizeof(Digest));
  if (!digest || digest->size() != sizeof(Digest)) return std::nullopt;
  auto signature = field(body, at, kSignatureBytes);
  if (!signature || signature->size() != kSignatureBytes) return std::nullopt;
  if (at != body.size()) return std::nullopt;
  SignatureBlock parsed{std::move(*identifier), std::move(*anchor), signedLength, {}, std::move(*signature)};
  std::copy(digest->begin(), digest->end(), parsed.digest.begin());
  return LocatedSignature{std::move(parsed), static_cast<std::size_t>(fileSize - blockLen)};
}

std::string serializeSignatureBlock(const SignatureBlock& b) {
  std::string body;
  appendBE32(body, static_cast<std::uint32_t>(b.identifier.size()));
  body += b.identifier;
  appendBE32(body, static_cast<std::uint32_t>(b.anchor.size()));
  body += b.anchor;
  appendBE32(body, static_cast<std::uint32_t>(b.signedLength >> 32));
  appendBE32(body, static_cast<std::uint32_t>(b.signedLength));
  appendBE32(body, static_cast<std::uint32_t>(b.digest.size()));
  body.append(reinterpret_cast<const char*>(b.digest.data()), b.digest.size());
  appendBE32(body, static_cast<std::uint32_t>(b.signature.size()));
  body += b.signature;
  std::string out(kBlockMagic);
  out += body;
  appendBE32(out, static_cast<std::uint32_t>(kBlockMagic.size() + body.size() + 4 + kBlockTrailer.size()));
  out += kBlockTrailer;
  return out;
}

std::string signedMessage(const SignatureBlock& b) {
  std::string m("zeb-codesign-v2");
  m.push_back('\0');
  appendBE32(m, static_cast<std::uint32_t>(b.identifier.size()));
  m += b.identifier;
  appendBE32(m, static_cast<std::uint32_t>(b.anchor.size()));
  m += b.anchor;
  appendBE32(m, static_cast<std::uint32_t>(b.signedLength >> 32));
  appendBE32(m, static_cast<std::uint32_t>(b.signedLength));
  m.append(reinterpret_cast<const char*>(b.digest.data()), b.digest.size());
  return m;
}

}  // namespace zeb::codesign
