// The signature block appended to a signed executable, as kernel modules carry theirs:
//
//   "ZEBSIG\x02\n"  identifier  anchor  signed-length  digest  signature  block-length
//   "~ZEB signature appended~\n"
//
// identifier, anchor, digest and signature are each a 4-byte big-endian length and the bytes;
// signed-length is 8 bytes big-endian: how many bytes come before the block; digest is their
// SHA-512; block-length (4 bytes, big-endian) covers the whole block from its magic to the end of
// the trailer. The Ed25519 signature covers the identifier, the anchor name, the signed length and
// the digest, so a verifier checks the signature and the length before it reads the file at all,
// and a block copied onto another file is refused without hashing that file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zeb::codesign {

inline constexpr std::string_view kBlockMagic{"ZEBSIG\x02\n", 8};
inline constexpr std::string_view kBlockTrailer = "~ZEB signature appended~\n";
inline constexpr std::size_t kMaxIdentifierBytes = 255;
inline constexpr std::size_t kMaxAnchorBytes = 64;
inline constexpr std::size_t kSignatureBytes = 64;
inline constexpr std::size_t kMaxBlockBytes = 4096;

using Digest = std::array<std::uint8_t, 64>;

struct SignatureBlock {
  std::string identifier;
  std::string anchor;
  std::uint64_t signedLength = 0;  // bytes before the block when it was signed
  Digest digest{};                 // their SHA-512 then
  std::string signature;           // raw Ed25519 signature
};

struct LocatedSignature {
  SignatureBlock block;
  std::size_t contentSize = 0;  // bytes before the block: what the signature covers
};

// An anchor name is [A-Za-z0-9._-]+ (and not "." or "..").
bool isValidAnchorName(std::string_view name);

// Finds and parses the block at the end of a file's last bytes. `tail` is the file's final
// min(size, kMaxBlockBytes) bytes and `fileSize` its whole size.
std::optional<LocatedSignature> parseSignatureBlock(std::string_view tail, std::uint64_t fileSize);

std::string serializeSignatureBlock(const SignatureBlock& block);

// The bytes the signature is made over: everything in the block but the signature itself.
std::string signedMessage(const SignatureBlock& block);

}  // namespace zeb::codesign
