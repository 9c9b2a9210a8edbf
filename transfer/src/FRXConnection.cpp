#include <Ferrix/FRXConnection.h>

#include "FRXInternal.h"

#include <libssh2.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

namespace {

constexpr int kDefaultPort = 22;

std::string base64WithoutPadding(const unsigned char* data, std::size_t size) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < size; i += 3) {
    unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (size - i == 1) {
    unsigned v = data[i] << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
  } else if (size - i == 2) {
    unsigned v = (data[i] << 16) | (data[i + 1] << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
  }
  return out;
}

int knownHostKeyType(int hostKeyType) {
  switch (hostKeyType) {
    case LIBSSH2_HOSTKEY_TYPE_RSA: return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS: return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256: return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384: return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521: return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519: return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default: return LIBSSH2_KNOWNHOST_KEY_UNKNOWN;
  }
}

struct KnownHostsDeleter {
  void operator()(LIBSSH2_KNOWNHOSTS* hosts) const { libssh2_knownhost_free(hosts); }
};
struct AddressInfoDeleter {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

}  // namespace

FRXConnection::FRXConnection(std::string_view address, std::string_view username, std::string_view password)
    : remoteAddress_(address), port_(kDefaultPort), username_(username), password_(std::string(password)) {}

FRXConnection::FRXConnection(std::string_view address, std::string_view username, std::string_view privateKeyPath,
                             std::optional<std::string> publicKeyPath)
    : remoteAddress_(address),
      port_(kDefaultPort),
      username_(username),
      privateKeyPath_(std::string(privateKeyPath)),
      publicKeyPath_(std::move(publicKeyPath)) {}

FRXConnection::~FRXConnection() { dealloc(); }

void FRXConnection::dealloc() {
  if (deallocated_) return;
  deallocated_ = true;
  frx::logLine("-[FRXConnection dealloc]");
  if (isConnected()) disconnect();
}

bool FRXConnection::isConnected() const { return static_cast<bool>(session_); }

bool FRXConnection::fail(FRXError* error, std::string message, long code) {
  if (error != nullptr) *error = frx::makeError(FRXErrorDomain, code, std::move(message));
  return false;
}

bool FRXConnection::connectWithError(FRXError* error) {
  // A held session is never replaced: disconnect first. One that logged in counts as connected.
  if (session_) return authenticated_;

  if (!openSocket(error)) return false;
  if (!library_.acquire()) {
    sock_.reset();
    return fail(error, "SSH2 session initialization failed.");
  }
  LIBSSH2_SESSION* session = libssh2_session_init_ex(nullptr, nullptr, nullptr, nullptr);
  if (session == nullptr) {
    sock_.reset();
    library_.reset();
    return fail(error, "SSH2 session initialization failed.");
  }
  session_ = FRXSessionHandle(session);
  libssh2_session_set_blocking(session, 1);
  // From here on a failure keeps the session (and socket) until disconnect.
  if (libssh2_session_handshake(session, sock_.get()) != 0) return fail(error, "Failed to establish SSH session.");
  if (!hostKeyAccepted(error)) return false;
  return authenticate(error);
}

bool FRXConnection::openSocket(FRXError* error) {
  std::string host = remoteAddress_;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string service = std::to_string(static_cast<std::uint16_t>(port_));

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    return fail(error, "Unable to find host address.");
  }
  std::unique_ptr<addrinfo, AddressInfoDeleter> addresses(found);

  for (const addrinfo* candidate = addresses.get(); candidate != nullptr; candidate = candidate->ai_next) {
    FRXUniqueFd sock(::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, candidate->ai_protocol));
    if (!sock) continue;
    // libssh2 leaves Nagle on; with it, loopback throughput swings widely from run to run.
    int on = 1;
    setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int rc;
    do {
      rc = ::connect(sock.get(), candidate->ai_addr, candidate->ai_addrlen);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
      sock_ = std::move(sock);
      return true;
    }
  }
  return fail(error, "Socket connection failed.");
}

bool FRXConnection::hostKeyAccepted(FRXError* error) {
  LIBSSH2_SESSION* session = session_.get();
  if (hostKeyFingerprint_) {
    const char* hash = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_SHA256);
    std::string expected = *hostKeyFingerprint_;
    while (!expected.empty() && expected.back() == '=') expected.pop_back();
    if (hash == nullptr ||
        "SHA256:" + base64WithoutPadding(reinterpret_cast<const unsigned char*>(hash), 32) != expected) {
      return fail(error, "Host key verification failed.", FRXConnectionErrorHostKeyMismatch);
    }
  }
  if (knownHostsPath_) {
    std::unique_ptr<LIBSSH2_KNOWNHOSTS, KnownHostsDeleter> hosts(libssh2_knownhost_init(session));
    std::size_t keyLength = 0;
    int keyType = LIBSSH2_HOSTKEY_TYPE_UNKNOWN;
    const char* key = libssh2_session_hostkey(session, &keyLength, &keyType);
    if (!hosts || key == nullptr ||
        libssh2_knownhost_readfile(hosts.get(), frx::standardizingPath(*knownHostsPath_).c_str(),
                                   LIBSSH2_KNOWNHOST_FILE_OPENSSH) < 0 ||
        libssh2_knownhost_checkp(hosts.get(), remoteAddress_.c_str(), static_cast<std::uint16_t>(port_), key,
                                 keyLength,
                                 LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | knownHostKeyType(keyType),
                                 nullptr) != LIBSSH2_KNOWNHOST_CHECK_MATCH) {
      return fail(error, "Host key verification failed.", FRXConnectionErrorHostKeyMismatch);
    }
  }
  return true;
}

bool FRXConnection::authenticate(FRXError* error) {
  LIBSSH2_SESSION* session = session_.get();
  const auto userLength = static_cast<unsigned int>(username_.size());
  const char* methods = libssh2_userauth_list(session, username_.c_str(), userLength);
  if (methods == nullptr) {
    // No list: either the server let the user in without authentication, or the request failed.
    if (libssh2_userauth_authenticated(session) != 0) {
      authenticated_ = true;
      return true;
    }
    return fail(error, "No supported auth.");
  }
  const std::string_view offered(methods);

  if (offered.find("password") != std::string_view::npos && password_) {
    int rc = libssh2_userauth_password_ex(session, username_.c_str(), userLength, password_->c_str(),
                                          static_cast<unsigned int>(password_->size()), nullptr);
    if (rc != 0) return fail(error, "Server rejected username or password.");
    authenticated_ = true;
    return true;
  }
  if (offered.find("publickey") != std::string_view::npos && privateKeyPath_) {
    const std::string privateKey = frx::standardizingPath(*privateKeyPath_);
    const std::optional<std::string> publicKey =
        publicKeyPath_ ? std::optional(frx::standardizingPath(*publicKeyPath_)) : std::nullopt;
    int rc = libssh2_userauth_publickey_fromfile_ex(session, username_.c_str(), userLength,
                                                    publicKey ? publicKey->c_str() : nullptr, privateKey.c_str(), "");
    if (rc != 0) return fail(error, "Server rejected key, " + std::to_string(rc));
    authenticated_ = true;
    return true;
  }
  return fail(error, "No supported auth.");
}

bool FRXConnection::disconnect() {
  session_.reset();
  sock_.reset();
  library_.reset();
  authenticated_ = false;
  return true;
}

FRXConnectionDelegateProtocol* FRXConnection::conformingDelegate() const {
  return dynamic_cast<FRXConnectionDelegateProtocol*>(delegate_);
}

FRXConnectionSpeedDelegateProtocol* FRXConnection::speedDelegate() const {
  return dynamic_cast<FRXConnectionSpeedDelegateProtocol*>(delegate_);
}
