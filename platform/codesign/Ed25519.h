// Ed25519 keys (PEM: PKCS#8 private, SubjectPublicKeyInfo public), signatures and SHA-512, through
// OpenSSL.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <openssl/evp.h>

#include "platform/codesign/SignatureBlock.h"
#include "platform/foundation/Result.h"

namespace zeb::codesign {

struct PKeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;

Result<PKey> generateEd25519Key();
std::string privateKeyPEM(EVP_PKEY* key);
std::string publicKeyPEM(EVP_PKEY* key);
Result<PKey> loadPrivateKeyPEM(std::string_view pem);
Result<PKey> loadPublicKeyPEM(std::string_view pem);

Result<std::string> sign(EVP_PKEY* privateKey, std::string_view message);
bool verify(EVP_PKEY* publicKey, std::string_view message, std::string_view signature);

// SHA-512 of the first `length` bytes of an open file (read with pread, so the offset is untouched).
Result<Digest> sha512OfFile(int fd, std::uint64_t length);

}  // namespace zeb::codesign
