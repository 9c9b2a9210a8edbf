// FRXConnection: one SSH connection to a server, logged in by password or by a key pair.
// Operations block their caller; errors come back as an optional FRXError out-parameter.
#pragma once

#include <Ferrix/FRXConnectionDelegateProtocol.h>
#include <Ferrix/FRXError.h>
#include <Ferrix/FRXExport.h>
#include <Ferrix/FRXObject.h>

#include <cstdint>
#include <memory>
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

// The connection's own state; defined inside the library only.
struct FRXConnectionState;

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

  [[nodiscard]] const std::string& remoteAddress() const;
  void setRemoteAddress(std::string_view remoteAddress);
  // Taken modulo 65536 when connecting.
  [[nodiscard]] std::int32_t port() const;
  void setPort(std::int32_t port);
  // Not owned: the delegate must outlive its use by the connection.
  [[nodiscard]] FRXObject* delegate() const;
  void setDelegate(FRXObject* delegate);
  [[nodiscard]] const std::string& username() const;
  void setUsername(std::string_view username);
  [[nodiscard]] const std::optional<std::string>& password() const;
  void setPassword(std::optional<std::string> password);
  [[nodiscard]] const std::optional<std::string>& privateKeyPath() const;
  void setPrivateKeyPath(std::optional<std::string> path);
  [[nodiscard]] const std::optional<std::string>& publicKeyPath() const;
  void setPublicKeyPath(std::optional<std::string> path);

  // Host key checks, both off by default: without them any host key is accepted.
  // An OpenSSH known-hosts file that must list the server's key for this address and port.
  [[nodiscard]] const std::optional<std::string>& knownHostsPath() const;
  void setKnownHostsPath(std::optional<std::string> path);
  // The server key's fingerprint as OpenSSH prints it: "SHA256:" and unpadded base64.
  [[nodiscard]] const std::optional<std::string>& hostKeyFingerprint() const;
  void setHostKeyFingerprint(std::optional<std::string> fingerprint);
  // With a known-hosts file: a host that has no key there is added to it (OpenSSH's accept-new)
  // instead of refused. A changed or revoked key is refused all the same. Off by default.
  [[nodiscard]] bool acceptsNewHostKeys() const;
  void setAcceptsNewHostKeys(bool accepts);
  // After connecting: what the host key check concluded, and the server key's SHA256 fingerprint.
  [[nodiscard]] FRXHostKeyOutcome hostKeyOutcome() const;
  [[nodiscard]] const std::string& serverHostKeyFingerprint() const;

  // Seconds that connecting, the handshake, the login and every later wait for the server may take
  // (0: wait for ever, the default). A wait ends when the server has sent nothing for that long,
  // also in the middle of a transfer. A timeout fails with its own code; the connection is then
  // unusable until disconnect, which returns at once.
  [[nodiscard]] double timeout() const;
  void setTimeout(double seconds);
  // OpenSSH's ServerAliveInterval and ServerAliveCountMax: after `seconds` without a word from the
  // server while waiting for it, a keepalive asks it for an answer; after `count` keepalives in a
  // row went unanswered the connection counts as dead and the wait fails as timed out. An interval
  // of 0 (the default) sends none. libssh2 sends them 2 s apart at the least. Count: 3 by default.
  [[nodiscard]] int serverAliveInterval() const;
  void setServerAliveInterval(int seconds);
  [[nodiscard]] int serverAliveCountMax() const;
  void setServerAliveCountMax(int count);
  // A connected stream socket (the end of a socket pair to a ProxyCommand, say) that the next
  // connect uses instead of opening TCP to the address and port, which then only name the host for
  // the host key check. The connection owns it from here on; -1 clears it. Used by one connect.
  void setConnectedSocket(int fd);

  // More ways to log in, all off by default. The passphrase of an encrypted private key file.
  [[nodiscard]] const std::optional<std::string>& passphrase() const;
  void setPassphrase(std::optional<std::string> passphrase);
  // Before the key file: the identities of the ssh-agent at $SSH_AUTH_SOCK.
  [[nodiscard]] bool usesAgent() const;
  void setUsesAgent(bool uses);
  // A server that offers keyboard-interactive instead of "password" is answered with the password.
  [[nodiscard]] bool allowsKeyboardInteractive() const;
  void setAllowsKeyboardInteractive(bool allows);

protected:
  // The delegate when it implements the required callbacks, else null.
  [[nodiscard]] FRXConnectionDelegateProtocol* conformingDelegate() const;
  // The delegate when it implements the speed callback, else null.
  [[nodiscard]] FRXConnectionSpeedDelegateProtocol* speedDelegate() const;
  // The delegate when it implements the byte-count progress callback, else null.
  [[nodiscard]] FRXConnectionTransferDelegateProtocol* transferDelegate() const;
  // Destruction's own steps: logs the line, then disconnects when isConnected. The destructor of
  // the most derived class that replaces isConnected or disconnect calls it, so that its own
  // versions answer; later calls do nothing.
  void dealloc();
  // For the library's own subclasses.
  [[nodiscard]] FRXConnectionState& connectionState() const { return *state_; }

private:
  std::unique_ptr<FRXConnectionState> state_;
};
