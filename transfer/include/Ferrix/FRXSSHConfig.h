// FRXSSHConfig: OpenSSH's client configuration (ssh_config files and -o options) resolved for one
// host alias to the settings a connection needs, with OpenSSH's rules: the first value wins.
#pragma once

#include <Ferrix/FRXError.h>
#include <Ferrix/FRXExport.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class FRXStrictHostKeyChecking {
  Ask,        // OpenSSH's default: an unknown host is asked about
  Yes,        // an unknown host is refused
  AcceptNew,  // an unknown host is added to the known-hosts file
  No,         // OpenSSH's "no" (and "off")
};

// What the configuration says about one host. Values that no line set are absent, except where
// OpenSSH itself has a default that callers always need (host name, user, port, known-hosts files).
struct FRX_EXPORT FRXSSHHostSettings {
  std::string host;      // the alias as asked for
  std::string hostName;  // HostName (tokens expanded), else the alias
  std::string user;      // User, else the local login name
  int port = 22;
  // IdentityFile lines in order, ~ and tokens expanded; empty when none was given.
  std::vector<std::string> identityFiles;
  bool identitiesOnly = false;
  // UserKnownHostsFile, expanded; OpenSSH's two defaults when not set.
  std::vector<std::string> userKnownHostsFiles;
  std::optional<FRXStrictHostKeyChecking> strictHostKeyChecking;
  std::optional<int> connectTimeout;  // seconds
  std::optional<int> serverAliveInterval;
  std::optional<int> serverAliveCountMax;
  // At most one of the two: whichever came first wins, as in OpenSSH. "none" leaves both absent.
  std::optional<std::string> proxyCommand;  // %h, %p, %r, %n expanded; run by /bin/sh
  std::optional<std::string> proxyJump;     // [user@]host[:port], comma-separated hops
};

class FRX_EXPORT FRXSSHConfig {
public:
  // Reads ~/.ssh/config, then /etc/ssh/ssh_config, as ssh does without -F.
  FRXSSHConfig();
  ~FRXSSHConfig();
  FRXSSHConfig(FRXSSHConfig&&) noexcept;
  FRXSSHConfig& operator=(FRXSSHConfig&&) noexcept;
  FRXSSHConfig(const FRXSSHConfig&) = delete;
  FRXSSHConfig& operator=(const FRXSSHConfig&) = delete;

  // This file alone instead of the two default ones (ssh -F); "none" reads no file. Unlike the
  // default files, a file named here must exist.
  void setConfigFile(std::string path);
  // The home directory behind ~, %d and ~/.ssh/config; default $HOME, else the password database.
  void setHomeDirectory(std::string path);
  // One command-line option (ssh -o), "Keyword=value" or "Keyword value". Options come before every
  // file, in the order added, so they win. False, with an error, for a line that can't be read.
  [[nodiscard]] bool addOption(std::string_view line, FRXError* error = nullptr);

  // Reads the files and resolves `host`. Absent, with an error naming the file and line, when a
  // file can't be read or holds a bad value or a Match block (not supported).
  [[nodiscard]] std::optional<FRXSSHHostSettings> settingsForHost(std::string_view host,
                                                                  FRXError* error = nullptr) const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
