#include <Ferrix/FRXConnection.h>

#include "FRXConnectionState.h"
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
constexpr const char* kKeepalivesUnanswered = "The server did not answer its keepalive messages.";
constexpr int kShortestKeepaliveInterval = 2;

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
// abstract pointer is the connection's state, which holds the password while the login runs.
void answerWithPassword(const char*, int, const char*, int, int promptCount, const LIBSSH2_USERAUTH_KBDINT_PROMPT*,
                        LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract) {
  const std::string* password = static_cast<const FRXConnectionState*>(*abstract)->interactivePassword;
  if (password == nullptr) return;
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

// The session's receive function: the socket's recv, noting when bytes arrive.
ssize_t receiveNoting(libssh2_socket_t socket, void* buffer, std::size_t length, int flags, void** abstract) {
  const ssize_t received = ::recv(socket, buffer, length, flags);
  if (received < 0) return -errno;
  if (received > 0) static_cast<FRXConnectionState*>(*abstract)->lastHeard = std::chrono::steady_clock::now();
  return received;
}

}  // namespace

FRXConnection::FRXConnection(std::string_view address, std::string_view username, FRXPassword password)
    : state_(std::make_unique<FRXConnectionState>()) {
  state_->remoteAddress = address;
  state_->port = kDefaultPort;
  state_->username = username;
  state_->password = std::move(password.text);
}

FRXConnection::FRXConnection(std::string_view address, std::string_view username, std::string_view privateKeyPath,
                             std::optional<std::string> publicKeyPath)
    : state_(std::make_unique<FRXConnectionState>()) {
  state_->remoteAddress = address;
  state_->port = kDefaultPort;
  state_->username = username;
  state_->privateKeyPath = std::string(privateKeyPath);
  state_->publicKeyPath = std::move(publicKeyPath);
}

FRXConnection::~FRXConnection() { dealloc(); }

void FRXConnection::dealloc() {
  if (state_->deallocated) return;
  state_->deallocated = true;
  frx::logLine("-[FRXConnection dealloc]");
  if (isConnected()) disconnect();
}

bool FRXConnection::isConnected() const { return static_cast<bool>(state_->session); }

const std::string& FRXConnection::remoteAddress() const { return state_->remoteAddress; }
void FRXConnection::setRemoteAddress(std::string_view remoteAddress) { state_->remoteAddress = remoteAddress; }
std::int32_t FRXConnection::port() const { return state_->port; }
void FRXConnection::setPort(std::int32_t port) { state_->port = port; }
FRXObject* FRXConnection::delegate() const { return state_->delegate; }
void FRXConnection::setDelegate(FRXObject* delegate) { state_->delegate = delegate; }
const std::string& FRXConnection::username() const { return state_->username; }
void FRXConnection::setUsername(std::string_view username) { state_->username = username; }
const std::optional<std::string>& FRXConnection::password() const { return state_->password; }
void FRXConnection::setPassword(std::optional<std::string> password) { state_->password = std::move(password); }
const std::optional<std::string>& FRXConnection::privateKeyPath() const { return state_->privateKeyPath; }
void FRXConnection::setPrivateKeyPath(std::optional<std::string> path) { state_->privateKeyPath = std::move(path); }
const std::optional<std::string>& FRXConnection::publicKeyPath() const { return state_->publicKeyPath; }
void FRXConnection::setPublicKeyPath(std::optional<std::string> path) { state_->publicKeyPath = std::move(path); }
const std::optional<std::string>& FRXConnection::knownHostsPath() const { return state_->knownHostsPath; }
void FRXConnection::setKnownHostsPath(std::optional<std::string> path) { state_->knownHostsPath = std::move(path); }
const std::optional<std::string>& FRXConnection::hostKeyFingerprint() const { return state_->hostKeyFingerprint; }
void FRXConnection::setHostKeyFingerprint(std::optional<std::string> fingerprint) {
  state_->hostKeyFingerprint = std::move(fingerprint);
}
bool FRXConnection::acceptsNewHostKeys() const { return state_->acceptsNewHostKeys; }
void FRXConnection::setAcceptsNewHostKeys(bool accepts) { state_->acceptsNewHostKeys = accepts; }
FRXHostKeyOutcome FRXConnection::hostKeyOutcome() const { return state_->hostKeyOutcome; }
const std::string& FRXConnection::serverHostKeyFingerprint() const { return state_->serverFingerprint; }
double FRXConnection::timeout() const { return state_->timeout; }
int FRXConnection::serverAliveInterval() const { return state_->serverAliveInterval; }
int FRXConnection::serverAliveCountMax() const { return state_->serverAliveCountMax; }
const std::optional<std::string>& FRXConnection::passphrase() const { return state_->passphrase; }
void FRXConnection::setPassphrase(std::optional<std::string> passphrase) { state_->passphrase = std::move(passphrase); }
bool FRXConnection::usesAgent() const { return state_->usesAgent; }
void FRXConnection::setUsesAgent(bool uses) { state_->usesAgent = uses; }
bool FRXConnection::allowsKeyboardInteractive() const { return state_->allowsKeyboardInteractive; }
void FRXConnection::setAllowsKeyboardInteractive(bool allows) { state_->allowsKeyboardInteractive = allows; }

namespace {

bool fail(FRXError* error, std::string message, long code = FRXConnectionErrorFailed) {
  if (error != nullptr) *error = frx::makeError(FRXErrorDomain, code, std::move(message));
  return false;
}

// A failure of a libssh2 call: a timeout becomes its own error (and abandons the session),
// anything else `message`.
bool failSession(FRXConnectionState& state, FRXError* error, std::string message,
                 long code = FRXConnectionErrorFailed) {
  if (frx::timedOut(state.rawSession())) {
    message = state.keepalivesUnanswered ? kKeepalivesUnanswered : kTimedOut;
    code = FRXConnectionErrorTimedOut;
  }
  if (error != nullptr) {
    *error = frx::annotated(frx::makeError(FRXErrorDomain, code, std::move(message)), state.rawSession());
  }
  if (code == FRXConnectionErrorTimedOut) state.abandonSession();
  return false;
}

}  // namespace

void FRXConnection::setTimeout(double seconds) {
  state_->timeout = seconds > 0 ? seconds : 0;
  state_->configureWaits();
}

void FRXConnection::setServerAliveInterval(int seconds) {
  state_->serverAliveInterval = std::max(seconds, 0);
  state_->configureWaits();
}

void FRXConnection::setServerAliveCountMax(int count) { state_->serverAliveCountMax = std::max(count, 0); }

void FRXConnection::setConnectedSocket(int fd) { state_->connectedSocket.reset(fd); }

void FRXConnectionState::configureWaits() {
  if (!session) return;
  libssh2_session_set_timeout(session.get(), static_cast<long>(timeout * 1000));
  // Keepalives only once logged in: set before the handshake, libssh2 1.10 fails the handshake.
  // An answer is asked for, so that a live server is heard from while it is busy otherwise.
  if (authenticated) {
    libssh2_keepalive_config(session.get(), 1, static_cast<unsigned>(serverAliveInterval));
  }
}

bool FRXConnectionState::keepWaiting() {
  keepalivesUnanswered = false;
  if (!session) return false;
  const double silent = std::chrono::duration<double>(std::chrono::steady_clock::now() - lastHeard).count();
  if (timeout > 0 && silent >= timeout) return false;
  if (authenticated && serverAliveInterval > 0) {
    // libssh2 takes an interval of 1 for 2.
    const double interval = std::max(serverAliveInterval, kShortestKeepaliveInterval);
    if (silent >= interval * (serverAliveCountMax + 1)) {
      keepalivesUnanswered = true;
      return false;
    }
  }
  return true;
}

void FRXConnectionState::sendKeepaliveIfDue() {
  int secondsToNext = 0;
  if (session && authenticated && serverAliveInterval > 0) libssh2_keepalive_send(session.get(), &secondsToNext);
}

void FRXConnectionState::abandonSession() {
  if (sock) ::shutdown(sock.get(), SHUT_RDWR);
}

namespace {

bool openSocket(FRXConnectionState& state, FRXError* error) {
  if (state.connectedSocket) {
    // A TCP socket gets the same treatment as our own (below); for a socket pair this fails harmlessly.
    int on = 1;
    setsockopt(state.connectedSocket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    state.sock = std::move(state.connectedSocket);
    return true;
  }
  std::string host = state.remoteAddress;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string service = std::to_string(static_cast<std::uint16_t>(state.port));

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
  if (state.timeout > 0) {
    deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(state.timeout));
  }
  bool timedOut = false;
  int lastErrno = 0;
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
      if (rc != 0) lastErrno = soError != 0 ? soError : errno;
    } else if (rc != 0) {
      lastErrno = errno;
    }
    if (rc == 0) {
      // libssh2 runs the socket in blocking mode and bounds its waits itself.
      ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) & ~O_NONBLOCK);
      state.sock = std::move(sock);
      return true;
    }
  }
  if (timedOut) return fail(error, kTimedOut, FRXConnectionErrorTimedOut);
  fail(error, "Socket connection failed.");
  // Refused or unreachable: the caller may say which.
  if (error != nullptr) error->underlyingPOSIXError = lastErrno;
  return false;
}

bool hostKeyAccepted(FRXConnectionState& state, FRXError* error) {
  LIBSSH2_SESSION* session = state.session.get();
  if (state.hostKeyFingerprint) {
    std::string expected = *state.hostKeyFingerprint;
    while (!expected.empty() && expected.back() == '=') expected.pop_back();
    if (state.serverFingerprint.empty() || state.serverFingerprint != expected) {
      return fail(error, "Host key verification failed.", FRXConnectionErrorHostKeyMismatch);
    }
    state.hostKeyOutcome = FRXHostKeyOutcome::Known;
  }
  if (state.knownHostsPath) {
    frx::ServerHostKey key;
    key.blob = libssh2_session_hostkey(session, &key.length, &key.libssh2Type);
    if (key.blob == nullptr) return fail(error, "Host key verification failed.", FRXConnectionErrorHostKeyMismatch);
    std::string host = state.remoteAddress;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string path = frx::standardizingPath(*state.knownHostsPath);
    const int port = static_cast<std::uint16_t>(state.port);
    switch (frx::checkKnownHosts(session, path, host, port, key)) {
      case frx::KnownHostVerdict::Match:
        state.hostKeyOutcome = FRXHostKeyOutcome::Known;
        break;
      case frx::KnownHostVerdict::Changed:
        return fail(error, "Host key verification failed: the server's key differs from the one known for it.",
                    FRXConnectionErrorHostKeyMismatch);
      case frx::KnownHostVerdict::Revoked:
        return fail(error, "Host key verification failed: the server's key is revoked.", FRXConnectionErrorHostKeyRevoked);
      case frx::KnownHostVerdict::Unknown:
        if (!state.acceptsNewHostKeys) {
          return fail(error, "Host key verification failed: the server is not a known host.",
                      FRXConnectionErrorHostKeyUnknown);
        }
        if (int rc = frx::addKnownHost(path, host, port, key); rc != 0) {
          return fail(error, "Host key verification failed: the new host key could not be added: " +
                                 std::string(std::strerror(rc)),
                      FRXConnectionErrorHostKeyUnknown);
        }
        state.hostKeyOutcome = FRXHostKeyOutcome::Added;
        break;
    }
  }
  return true;
}

bool authenticateWithAgent(FRXConnectionState& state);
bool authenticateWithKeyFile(FRXConnectionState& state, FRXError* error);

bool authenticate(FRXConnectionState& state, FRXError* error) {
  LIBSSH2_SESSION* session = state.session.get();
  const auto userLength = static_cast<unsigned int>(state.username.size());
  const char* methods =
      state.patiently([&] { return libssh2_userauth_list(session, state.username.c_str(), userLength); });
  if (methods == nullptr) {
    // No list: either the server let the user in without authentication, or the request failed.
    if (libssh2_userauth_authenticated(session) != 0) {
      state.authenticated = true;
      return true;
    }
    return failSession(state, error, "No supported auth.");
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

  if (offers("password") && state.password) {
    int rc = state.patiently([&] {
      return libssh2_userauth_password_ex(session, state.username.c_str(), userLength, state.password->c_str(),
                                          static_cast<unsigned int>(state.password->size()), nullptr);
    });
    if (rc != 0) return failSession(state, error, "Server rejected username or password.");
    state.authenticated = true;
    return true;
  }
  if (state.allowsKeyboardInteractive && offers("keyboard-interactive") && state.password) {
    state.interactivePassword = &*state.password;
    int rc = state.patiently([&] {
      return libssh2_userauth_keyboard_interactive_ex(session, state.username.c_str(), userLength, answerWithPassword);
    });
    state.interactivePassword = nullptr;
    if (rc != 0) return failSession(state, error, "Server rejected username or password.");
    state.authenticated = true;
    return true;
  }
  if (offers("publickey") && (state.privateKeyPath || state.usesAgent)) {
    if (state.usesAgent && authenticateWithAgent(state)) {
      state.authenticated = true;
      return true;
    }
    if (frx::timedOut(session)) return failSession(state, error, "");
    if (!state.privateKeyPath) return failSession(state, error, "Server rejected every key of the agent.");
    return authenticateWithKeyFile(state, error);
  }
  return fail(error, "No supported auth.");
}

bool authenticateWithAgent(FRXConnectionState& state) {
  LIBSSH2_SESSION* session = state.session.get();
  std::unique_ptr<LIBSSH2_AGENT, AgentDeleter> agent(libssh2_agent_init(session));
  if (!agent || libssh2_agent_connect(agent.get()) != 0 || libssh2_agent_list_identities(agent.get()) != 0) {
    return false;
  }
  libssh2_agent_publickey* identity = nullptr;
  libssh2_agent_publickey* previous = nullptr;
  while (libssh2_agent_get_identity(agent.get(), &identity, previous) == 0) {
    if (state.patiently([&] { return libssh2_agent_userauth(agent.get(), state.username.c_str(), identity); }) == 0) {
      return true;
    }
    if (frx::timedOut(session)) return false;
    previous = identity;
  }
  return false;
}

bool authenticateWithKeyFile(FRXConnectionState& state, FRXError* error) {
  // A key file that can't be read is a local file error, not a refusal by the server.
  const std::string privateKey = frx::standardizingPath(*state.privateKeyPath);
  const std::optional<std::string> publicKey =
      state.publicKeyPath ? std::optional(frx::standardizingPath(*state.publicKeyPath)) : std::nullopt;
  for (const std::string* path : {&privateKey, publicKey ? &*publicKey : nullptr}) {
    if (path == nullptr) continue;
    FRXUniqueFd probe(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
    if (!probe) {
      if (error != nullptr) *error = frx::localReadError(*path, errno);
      return false;
    }
  }
  const auto userLength = static_cast<unsigned int>(state.username.size());
  int rc = state.patiently([&] {
    return libssh2_userauth_publickey_fromfile_ex(state.session.get(), state.username.c_str(), userLength,
                                                  publicKey ? publicKey->c_str() : nullptr, privateKey.c_str(),
                                                  state.passphrase ? state.passphrase->c_str() : "");
  });
  if (rc != 0) return failSession(state, error, "Server rejected key, " + std::to_string(rc));
  state.authenticated = true;
  return true;
}

}  // namespace

bool FRXConnection::connectWithError(FRXError* error) {
  FRXConnectionState& state = *state_;
  // A held session is never replaced: disconnect first. One that logged in counts as connected.
  if (state.session) {
    if (!state.authenticated) fail(error, "A session that failed to log in is held; disconnect first.");
    return state.authenticated;
  }
  state.hostKeyOutcome = FRXHostKeyOutcome::NotChecked;
  state.serverFingerprint.clear();
  state.keepalivesUnanswered = false;

  if (!openSocket(state, error)) return false;
  if (!state.library.acquire()) {
    state.sock.reset();
    return fail(error, "SSH2 session initialization failed.");
  }
  LIBSSH2_SESSION* session = libssh2_session_init_ex(nullptr, nullptr, nullptr, &state);
  if (session == nullptr) {
    state.sock.reset();
    state.library.reset();
    return fail(error, "SSH2 session initialization failed.");
  }
  state.session = FRXSessionHandle(session);
  libssh2_session_set_blocking(session, 1);
  // Every byte read goes through receiveNoting, which is how a wait knows when the server last spoke.
  libssh2_session_callback_set(session, LIBSSH2_CALLBACK_RECV, reinterpret_cast<void*>(&receiveNoting));
  state.lastHeard = std::chrono::steady_clock::now();
  // Every blocking wait of libssh2 (handshake, login, each SFTP answer) is bounded by the timeout.
  state.configureWaits();
  // From here on a failure keeps the session (and socket) until disconnect.
  if (state.patiently([&] { return libssh2_session_handshake(session, state.sock.get()); }) != 0) {
    return failSession(state, error, "Failed to establish SSH session.");
  }
  state.serverFingerprint = frx::sha256Fingerprint(session);
  if (!hostKeyAccepted(state, error)) return false;
  if (!authenticate(state, error)) return false;
  state.configureWaits();
  return true;
}

bool FRXConnection::disconnect() {
  state_->session.reset();
  state_->sock.reset();
  state_->library.reset();
  state_->authenticated = false;
  return true;
}

FRXConnectionDelegateProtocol* FRXConnection::conformingDelegate() const {
  return dynamic_cast<FRXConnectionDelegateProtocol*>(state_->delegate);
}

FRXConnectionSpeedDelegateProtocol* FRXConnection::speedDelegate() const {
  return dynamic_cast<FRXConnectionSpeedDelegateProtocol*>(state_->delegate);
}

FRXConnectionTransferDelegateProtocol* FRXConnection::transferDelegate() const {
  return dynamic_cast<FRXConnectionTransferDelegateProtocol*>(state_->delegate);
}
