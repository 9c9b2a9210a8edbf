// FRXConnection: one SSH connection to a server, logged in by password or by a key pair.
// Operations block their caller; errors come back as an optional FRXError out-parameter.
#pragma once

#include <Ferrix/FRXConnectionDelegateProtocol.h>
#include <Ferrix/FRXError.h>
#include <Ferrix/FRXExport.h>
#include <Ferrix/FRXHandles.h>
#include <Ferrix/FRXObject.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A password, as a type of its own so that a key path can never be taken for one.
struct FRX_EXPORT FRXPassword {
  explicit FRXPassword(std::string_view text) : text(text) {}
  std::string text;
};

// What connectWithError found out about the server's host key.
enum class FRXHostKeyOutcome {
  NotChecked,  // no known-hosts file or fingerprint was set
  Known,       // the key is the one listed or pinned
  Added,       // the host was unknown and its key was added (acceptsNewHostKeys)
};

class FRX_EXPORT FRXConnection : public FRXObject {
public:
  // Password login. The port starts at 22.
  FRXConnection(std::string_view address, std::string_view username, FRXPassword password);
  // Key login. A null public key path lets libssh2 derive the public key from the private key.
  FRXConnection(std::string_view address, std::string_view username, std::string_view privateKeyPath,
                std::optional<std::string> publicKeyPath);
  FRXConnection(const FRXConnection&) = delete;
  FRXConnection& operator=(const FRXConnection&) = delete;
  ~FRXConnection() override;

  // True exactly while a session is held (also one whose login failed, until disconnect).
  [[nodiscard]] virtual bool isConnected() const;
  // Connects, runs the SSH handshake and logs in.
  [[nodiscard]] virtual bool connectWithError(FRXError* error = nullptr);
  // Ends the session and closes the socket. Always true.
  virtual bool disconnect();

  [[nodiscard]] const std::string& remoteAddress() const { return remoteAddress_; }
  void setRemoteAddress(std::string_view remoteAddress) { remoteAddress_ = remoteAddress; }
  // Taken modulo 65536 when connecting.
  [[nodiscard]] std::int32_t port() const { return port_; }
  void setPort(std::int32_t port) { port_ = port; }
  // Not owned: the delegate must outlive its use by the connection.
  [[nodiscard]] FRXObject* delegate() const { return delegate_; }
  void setDelegate(FRXObject* delegate) { delegate_ = delegate; }
  [[nodiscard]] const std::string& username() const { return username_; }
  void setUsername(std::string_view username) { username_ = username; }
  [[nodiscard]] const std::optional<std::string>& password() const { return password_; }
  void setPassword(std::optional<std::string> password) { password_ = std::move(password); }
  [[nodiscard]] const std::optional<std::string>& privateKeyPath() const { return privateKeyPath_; }
  void setPrivateKeyPath(std::optional<std::string> path) { privateKeyPath_ = std::move(path); }
  [[nodiscard]] const std::optional<std::string>& publicKeyPath() const { return publicKeyPath_; }
  void setPublicKeyPath(std::optional<std::string> path) { publicKeyPath_ = std::move(path); }

  // Host key checks, both off by default: without them any host key is accepted.
  // An OpenSSH known-hosts file that must list the server's key for this address and port.
  [[nodiscard]] const std::optional<std::string>& knownHostsPath() const { return knownHostsPath_; }
  void setKnownHostsPath(std::optional<std::string> path) { knownHostsPath_ = std::move(path); }
  // The server key's fingerprint as OpenSSH prints it: "SHA256:" and unpadded base64.
  [[nodiscard]] const std::optional<std::string>& hostKeyFingerprint() const { return hostKeyFingerprint_; }
  void setHostKeyFingerprint(std::optional<std::string> fingerprint) { hostKeyFingerprint_ = std::move(fingerprint); }
  // With a known-hosts file: a host that has no key there is added to it (OpenSSH's accept-new)
  // instead of refused. A changed or revoked key is refused all the same. Off by default.
  [[nodiscard]] bool acceptsNewHostKeys() const { return acceptsNewHostKeys_; }
  void setAcceptsNewHostKeys(bool accepts) { acceptsNewHostKeys_ = accepts; }
  // After connecting: what the host key check concluded, and the server key's SHA256 fingerprint.
  [[nodiscard]] FRXHostKeyOutcome hostKeyOutcome() const { return hostKeyOutcome_; }
  [[nodiscard]] const std::string& serverHostKeyFingerprint() const { return serverFingerprint_; }

  // Seconds that connecting, the handshake, the login and every later wait for the server may take
  // (0: wait for ever, the default). A timeout fails with its own code; the connection is then
  // unusable until disconnect, which returns at once.
  [[nodiscard]] double timeout() const { return timeout_; }
  void setTimeout(double seconds);

  // More ways to log in, all off by default. The passphrase of an encrypted private key file.
  [[nodiscard]] const std::optional<std::string>& passphrase() const { return passphrase_; }
  void setPassphrase(std::optional<std::string> passphrase) { passphrase_ = std::move(passphrase); }
  // Before the key file: the identities of the ssh-agent at $SSH_AUTH_SOCK.
  [[nodiscard]] bool usesAgent() const { return usesAgent_; }
  void setUsesAgent(bool uses) { usesAgent_ = uses; }
  // A server that offers keyboard-interactive instead of "password" is answered with the password.
  [[nodiscard]] bool allowsKeyboardInteractive() const { return allowsKeyboardInteractive_; }
  void setAllowsKeyboardInteractive(bool allows) { allowsKeyboardInteractive_ = allows; }

protected:
  [[nodiscard]] _LIBSSH2_SESSION* session() const { return session_.get(); }
  // After a timeout: shuts the socket down so that every later libssh2 call, the session's release
  // included, fails at once instead of waiting again.
  void abandonSession();
  // Sends a keepalive message when the last one is older than the keepalive interval, so that
  // middleboxes keep an idle connection's state between operations.
  void sendKeepaliveIfDue();
  // The delegate when it implements the required callbacks, else null.
  [[nodiscard]] FRXConnectionDelegateProtocol* conformingDelegate() const;
  // The delegate when it implements the speed callback, else null.
  [[nodiscard]] FRXConnectionSpeedDelegateProtocol* speedDelegate() const;
  // Destruction's own steps: logs the line, then disconnects when isConnected. The destructor of
  // the most derived class that replaces isConnected or disconnect calls it, so that its own
  // versions answer; later calls do nothing.
  void dealloc();

private:
  bool fail(FRXError* error, std::string message, long code = FRXConnectionErrorFailed);
  // A failure of a libssh2 call: a timeout becomes its own error, anything else `message`.
  bool failSession(FRXError* error, std::string message, long code = FRXConnectionErrorFailed);
  bool openSocket(FRXError* error);
  bool hostKeyAccepted(FRXError* error);
  bool authenticate(FRXError* error);
  bool authenticateWithAgent();
  bool authenticateWithKeyFile(FRXError* error);

  std::string remoteAddress_;
  std::int32_t port_ = 22;
  FRXObject* delegate_ = nullptr;
  std::string username_;
  std::optional<std::string> password_;
  std::optional<std::string> privateKeyPath_;
  std::optional<std::string> publicKeyPath_;
  std::optional<std::string> knownHostsPath_;
  std::optional<std::string> hostKeyFingerprint_;
  bool acceptsNewHostKeys_ = false;
  FRXHostKeyOutcome hostKeyOutcome_ = FRXHostKeyOutcome::NotChecked;
  std::string serverFingerprint_;
  double timeout_ = 0;
  std::optional<std::string> passphrase_;
  bool usesAgent_ = false;
  bool allowsKeyboardInteractive_ = false;

  // Released in reverse order: the session before its socket, both before libssh2's global state.
  FRXLibraryReference library_;
  FRXUniqueFd sock_;
  FRXSessionHandle session_;
  bool authenticated_ = false;
  bool deallocated_ = false;
};
