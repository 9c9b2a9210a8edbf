#include <Ferrix/FRXConnection.h>

#include "FRXInternal.h"

#include <libssh2.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "FRXKnownHosts.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kDefaultPort = 22;
constexpr const char* kTimedOut = "The operation timed out.";
// Seconds between keepalive messages (sent only when an operation starts; no answer is asked for).
constexpr unsigned kKeepaliveInterval = 15;

struct AddressInfoDeleter {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};
struct AgentDeleter {
  void operator()(LIBSSH2_AGENT* agent) const {
    libssh2_agent_disconnect(agent);
    libssh2_agent_free(agent);
  }
};

// Milliseconds left before `deadline` (-1: no deadline), never below 0.
int millisecondsLeft(std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

// Keyboard-interactive: every prompt is answered with the connection's password. The session's
// abstract pointer holds the password while the login runs.
void answerWithPassword(const char*, int, const char*, int, int promptCount, const LIBSSH2_USERAUTH_KBDINT_PROMPT*,
                        LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract) {
  const auto* password = static_cast<const std::string*>(*abstract);
  for (int i = 0; i < promptCount; ++i) {
    // libssh2 frees each answer with its own free function, the C library's by default.
    responses[i].text = static_cast<char*>(std::malloc(password->size() + 1));
    if (responses[i].text == nullptr) {
      responses[i].length = 0;
      continue;
    }
    std::memcpy(responses[i].text, password->c_str(), password->size() + 1);
    responses[i].length = static_cast<unsigned int>(password->size());
  }
}

}  // namespace

FRXConnection::FRXConnection(std::string_view address, std::string_view username, FRXPassword password)
    : remoteAddress_(address), port_(kDefaultPort), username_(username), password_(std::move(password.text)) {}

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

bool FRXConnection::failSession(FRXError* error, std::string message, long code) {
  if (frx::timedOut(session_.get())) {
    message = kTimedOut;
    code = FRXConnectionErrorTimedOut;
  }
  if (error != nullptr) *error = frx::annotated(frx::makeError(FRXErrorDomain, code, std::move(message)), session_.get());
  if (code == FRXConnectionErrorTimedOut) abandonSession();
  return false;
}

void FRXConnection::setTimeout(double seconds) {
  timeout_ = seconds > 0 ? seconds : 0;
  if (session_) libssh2_session_set_timeout(session_.get(), static_cast<long>(timeout_ * 1000));
}

void FRXConnection::sendKeepaliveIfDue() {
  int secondsToNext = 0;
  if (session_ && authenticated_) libssh2_keepalive_send(session_.get(), &secondsToNext);
}

void FRXConnection::abandonSession() {
  if (sock_) ::shutdown(sock_.get(), SHUT_RDWR);
}

bool FRXConnection::connectWithError(FRXError* error) {
  // A held session is never replaced: disconnect first. One that logged in counts as connected.
  if (session_) {
    if (!authenticated_) fail(error, "A session that failed to log in is held; disconnect first.");
    return authenticated_;
  }
  hostKeyOutcome_ = FRXHostKeyOutcome::NotChecked;
  serverFingerprint_.clear();

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
  // Every blocking wait of libssh2 (handshake, login, each SFTP answer) is bounded by the timeout.
  libssh2_session_set_timeout(session, static_cast<long>(timeout_ * 1000));
  // From here on a failure keeps the session (and socket) until disconnect.
  if (libssh2_session_handshake(session, sock_.get()) != 0) return failSession(error, "Failed to establish SSH session.");
  serverFingerprint_ = frx::sha256Fingerprint(session);
  if (!hostKeyAccepted(error)) return false;
  if (!authenticate(error)) return false;
  // Configured only once logged in: set before the handshake, libssh2 1.10 fails the handshake.
  libssh2_keepalive_config(session, 0, kKeepaliveInterval);
  return true;
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

  // One deadline for all the addresses: the timeout bounds the whole connect.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeout_ > 0) {
    deadline = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(timeout_));
  }
  bool timedOut = false;
  for (const addrinfo* candidate = addresses.get(); candidate != nullptr; candidate = candidate->ai_next) {
    FRXUniqueFd sock(::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                              candidate->ai_protocol));
    if (!sock) continue;
    // libssh2 leaves Nagle on; with it, loopback throughput swings widely from run to run.
    int on = 1;
    setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int rc = ::connect(sock.get(), candidate->ai_addr, candidate->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd waiting{sock.get(), POLLOUT, 0};
      do {
        rc = ::poll(&waiting, 1, millisecondsLeft(deadline));
      } while (rc < 0 && errno == EINTR);
      int soError = 0;
      socklen_t soLength = sizeof soError;
      if (rc == 0) {
        timedOut = true;
        break;
      }
      rc = (rc > 0 && getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &soError, &soLength) == 0 && soError == 0) ? 0 : -1;
    }
    if (rc == 0) {
      // libssh2 runs the socket in blocking mode and bounds its waits itself.
      ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) & ~O_NONBLOCK);
      sock_ = std::move(sock);
      return true;
    }
  }
  if (timedOut) return fail(error, kTimedOut, FRXConnectionErrorTimedOut);
  return fail(error, "Socket connection failed.");
}

bool FRXConnection::hostKeyAccepted(FRXError* error) {
  LIBSSH2_SESSION* session = session_.get();
  if (hostKeyFingerprint_) {
    std::string expected = *hostKeyFingerprint_;
    while (!expected.empty() && expected.back() == '=') expected.pop_back();
    if (serverFingerprint_.empty() || serverFingerprint_ != expected) {
      return fail(error, "Host key verification failed.", FRXConnectionErrorHostKeyMismatch);
    }
    hostKeyOutcome_ = FRXHostKeyOutcome::Known;
  }
  if (knownHostsPath_) {
    frx::ServerHostKey key;
    key.blob = libssh2_session_hostkey(session, &key.length, &key.libssh2Type);
    if (key.blob == nullptr) return fail(error, "Host key verification failed.", FRXConnectionErrorHostKeyMismatch);
    std::string host = remoteAddress_;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string path = frx::standardizingPath(*knownHostsPath_);
    const int port = static_cast<std::uint16_t>(port_);
    switch (frx::checkKnownHosts(session, path, host, port, key)) {
      case frx::KnownHostVerdict::Match:
        hostKeyOutcome_ = FRXHostKeyOutcome::Known;
        break;
      case frx::KnownHostVerdict::Changed:
        return fail(error, "Host key verification failed: the server's key differs from the one known for it.",
                    FRXConnectionErrorHostKeyMismatch);
      case frx::KnownHostVerdict::Revoked:
        return fail(error, "Host key verification failed: the server's key is revoked.", FRXConnectionErrorHostKeyRevoked);
      case frx::KnownHostVerdict::Unknown:
        if (!acceptsNewHostKeys_) {
          return fail(error, "Host key verification failed: the server is not a known host.",
                      FRXConnectionErrorHostKeyUnknown);
        }
        if (int rc = frx::addKnownHost(path, host, port, key); rc != 0) {
          return fail(error, "Host key verification failed: the new host key could not be added: " +
                                 std::string(std::strerror(rc)),
                      FRXConnectionErrorHostKeyUnknown);
        }
        hostKeyOutcome_ = FRXHostKeyOutcome::Added;
        break;
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
    return failSession(error, "No supported auth.");
  }
  const std::string offered(methods);
  auto offers = [&offered](std::string_view method) {
    std::size_t start = 0;
    while (start <= offered.size()) {
      std::size_t comma = offered.find(',', start);
      if (comma == std::string::npos) comma = offered.size();
      if (std::string_view(offered).substr(start, comma - start) == method) return true;
      start = comma + 1;
    }
    return false;
  };

  if (offers("password") && password_) {
    int rc = libssh2_userauth_password_ex(session, username_.c_str(), userLength, password_->c_str(),
                                          static_cast<unsigned int>(password_->size()), nullptr);
    if (rc != 0) return failSession(error, "Server rejected username or password.");
    authenticated_ = true;
    return true;
  }
  if (allowsKeyboardInteractive_ && offers("keyboard-interactive") && password_) {
    void** abstract = libssh2_session_abstract(session);
    *abstract = &*password_;
    int rc = libssh2_userauth_keyboard_interactive_ex(session, username_.c_str(), userLength, answerWithPassword);
    *abstract = nullptr;
    if (rc != 0) return failSession(error, "Server rejected username or password.");
    authenticated_ = true;
    return true;
  }
  if (offers("publickey") && (privateKeyPath_ || usesAgent_)) {
    if (usesAgent_ && authenticateWithAgent()) {
      authenticated_ = true;
      return true;
    }
    if (frx::timedOut(session)) return failSession(error, "");
    if (!privateKeyPath_) return failSession(error, "Server rejected every key of the agent.");
    return authenticateWithKeyFile(error);
  }
  return fail(error, "No supported auth.");
}

bool FRXConnection::authenticateWithAgent() {
  LIBSSH2_SESSION* session = session_.get();
  std::unique_ptr<LIBSSH2_AGENT, AgentDeleter> agent(libssh2_agent_init(session));
  if (!agent || libssh2_agent_connect(agent.get()) != 0 || libssh2_agent_list_identities(agent.get()) != 0) {
    return false;
  }
  libssh2_agent_publickey* identity = nullptr;
  libssh2_agent_publickey* previous = nullptr;
  while (libssh2_agent_get_identity(agent.get(), &identity, previous) == 0) {
    if (libssh2_agent_userauth(agent.get(), username_.c_str(), identity) == 0) return true;
    if (frx::timedOut(session)) return false;
    previous = identity;
  }
  return false;
}

bool FRXConnection::authenticateWithKeyFile(FRXError* error) {
  // A key file that can't be read is a local file error, not a refusal by the server.
  const std::string privateKey = frx::standardizingPath(*privateKeyPath_);
  const std::optional<std::string> publicKey =
      publicKeyPath_ ? std::optional(frx::standardizingPath(*publicKeyPath_)) : std::nullopt;
  for (const std::string* path : {&privateKey, publicKey ? &*publicKey : nullptr}) {
    if (path == nullptr) continue;
    FRXUniqueFd probe(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
    if (!probe) {
      if (error != nullptr) *error = frx::localReadError(*path, errno);
      return false;
    }
  }
  const auto userLength = static_cast<unsigned int>(username_.size());
  int rc = libssh2_userauth_publickey_fromfile_ex(session_.get(), username_.c_str(), userLength,
                                                  publicKey ? publicKey->c_str() : nullptr, privateKey.c_str(),
                                                  passphrase_ ? passphrase_->c_str() : "");
  if (rc != 0) return failSession(error, "Server rejected key, " + std::to_string(rc));
  authenticated_ = true;
  return true;
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
