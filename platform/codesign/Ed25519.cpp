#include "platform/codesign/Ed25519.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/codesign/SecStatus.h"

namespace zeb::codesign {
namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct PKeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

Error cryptoError(std::string what) {
  const unsigned long e = ERR_get_error();
  char buf[256] = {};
  if (e) ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return Error::withDescription(std::string(kCryptoErrorDomain), kCryptoErrorCode,
                                what + (e ? std::string(": ") + buf : ""));
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(n));
}

}  // namespace

Result<PKey> generateEd25519Key() {
  std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_keygen(ctx.get(), &key) <= 0)
    return cryptoError("key generation failed");
  return PKey(key);
}

std::string privateKeyPEM(EVP_PKEY* key) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  return bioText(bio.get());
}

std::string publicKeyPEM(EVP_PKEY* key) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PUBKEY(bio.get(), key);
  return bioText(bio.get());
}

Result<PKey> loadPrivateKeyPEM(std::string_view pem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  if (!key) return cryptoError("not a PEM private key");
  PKey owned(key);
  if (EVP_PKEY_id(key) != EVP_PKEY_ED25519) return cryptoError("not an Ed25519 key");
  return owned;
}

Result<PKey> loadPublicKeyPEM(std::string_view pem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* key = PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
  if (!key) return cryptoError("not a PEM public key");
  PKey owned(key);
  if (EVP_PKEY_id(key) != EVP_PKEY_ED25519) return cryptoError("not an Ed25519 key");
  return owned;
}

Result<std::string> sign(EVP_PKEY* privateKey, std::string_view message) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  std::string sig(kSignatureBytes, '\0');
  std::size_t len = sig.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, privateKey) <= 0 ||
      EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) <= 0)
    return cryptoError("signing failed");
  sig.resize(len);
  return sig;
}

bool verify(EVP_PKEY* publicKey, std::string_view message, std::string_view signature) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  const bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, publicKey) > 0 &&
                  EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                                   reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  ERR_clear_error();
  return ok;
}

Result<Digest> sha512OfFile(int fd, std::uint64_t length) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr) <= 0) return cryptoError("SHA-512 unavailable");
  std::vector<unsigned char> buf(1 << 20);
  std::uint64_t offset = 0;
  while (offset < length) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), length - offset));
    const ssize_t n = ::pread(fd, buf.data(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return posixError(n < 0 ? errno : EIO, "read");
    EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  Digest d{};
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx.get(), d.data(), &len);
  return d;
}

}  // namespace zeb::codesign
