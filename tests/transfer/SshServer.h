// A real OpenSSH server for the Ferrix tests and benchmark: sshd on 127.0.0.1 (and ::1) on free
// ports, with its own configuration, host key, authorized key and internal-sftp. As root it logs in
// a dedicated test user by key or password; otherwise the current user, by key only.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

class SshServer {
public:
  // The one server of this process, started on first use and stopped at exit. Aborts the process
  // with a message when sshd can't be started: nothing in these tests makes sense without it.
  static SshServer& shared();

  SshServer(const SshServer&) = delete;
  SshServer& operator=(const SshServer&) = delete;
  ~SshServer();

  // Offers password and public key.
  [[nodiscard]] int port() const { return ports_[0]; }
  // Offers public key only.
  [[nodiscard]] int publicKeyOnlyPort() const { return ports_[1]; }
  // Offers password only.
  [[nodiscard]] int passwordOnlyPort() const { return ports_[2]; }
  [[nodiscard]] bool hasIPv6() const { return ipv6_; }
  // A second server, started on first use (root only; 0 otherwise): PAM offers keyboard-interactive
  // and nothing else.
  [[nodiscard]] int keyboardInteractivePort();

  [[nodiscard]] const std::string& user() const { return user_; }
  // Absent when not running as root: password login then can't be tested.
  [[nodiscard]] const std::optional<std::string>& password() const { return password_; }
  [[nodiscard]] std::string privateKeyPath() const { return directory_ + "/client_ed25519"; }
  [[nodiscard]] std::string publicKeyPath() const { return directory_ + "/client_ed25519.pub"; }
  // An accepted key whose private file is encrypted with passphrase().
  [[nodiscard]] std::string passphraseKeyPath() const { return directory_ + "/passphrase_ed25519"; }
  [[nodiscard]] static std::string passphrase() { return "ferrix test passphrase"; }
  // A valid key pair that the server does not accept.
  [[nodiscard]] std::string strangerPrivateKeyPath() const { return directory_ + "/stranger_ed25519"; }
  [[nodiscard]] std::string strangerPublicKeyPath() const { return directory_ + "/stranger_ed25519.pub"; }
  // The host key's fingerprint as OpenSSH prints it ("SHA256:...").
  [[nodiscard]] const std::string& hostKeyFingerprint() const { return fingerprint_; }
  // The host key line of a known-hosts file, without the host part.
  [[nodiscard]] const std::string& hostKeyLine() const { return hostKeyLine_; }
  // A scratch directory for local files of the tests.
  [[nodiscard]] std::string localDirectory() const { return directory_ + "/local"; }
  // A new, empty directory that the login user owns, for the remote side of one test.
  [[nodiscard]] std::string newRemoteDirectory(const std::string& name);
  // Hands a file, directory or link made by the test process to the login user.
  void giveToUser(const std::string& path) const;
  [[nodiscard]] std::string logText() const;
  // Kills every session process of this server (not the server itself): open connections drop.
  void dropConnections() const { signalConnections(9); }
  // Kills the session processes of the connection made last: that one connection drops.
  void dropNewestConnection() const { signalConnections(9, true); }
  // How many logins the server has accepted so far.
  [[nodiscard]] std::size_t acceptedLogins() const;
  // Stops (SIGSTOP) or continues (SIGCONT) every session process: open connections stall.
  void pauseConnections(bool paused) const;

private:
  SshServer() = default;
  void signalConnections(int signal, bool newestOnly = false) const;
  bool start(std::string& why);
  bool prepareUser(std::string& why);
  bool launch(std::string& why);
  void stop();

  std::string directory_;
  std::string user_;
  std::optional<std::string> password_;
  int passwordFd_ = -1;  // the machine's password file, locked shared while this process uses it
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  bool createdUser_ = false;
  bool ipv6_ = false;
  int ports_[3] = {0, 0, 0};
  pid_t pid_ = -1;
  pid_t keyboardInteractivePid_ = -1;
  int keyboardInteractivePort_ = 0;
  std::string fingerprint_;
  std::string hostKeyLine_;
  int remoteCounter_ = 0;
};

// Runs a program with arguments, feeding `input` on its standard input; its exit status (or -1),
// with its standard output and error in `output` and `errors` when given.
int runProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& input = "",
               std::string* output = nullptr, std::string* errors = nullptr);
