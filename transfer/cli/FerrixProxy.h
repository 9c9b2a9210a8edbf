// The proxies of OpenSSH's configuration: a ProxyCommand run by /bin/sh, or ssh -W through the
// ProxyJump hosts, each talking to the library over one end of a socket pair.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace ferrix {

class Proxy {
public:
  // `command` as /bin/sh reads it, tokens already expanded.
  static std::optional<Proxy> command(const std::string& command, std::string& why);
  // Through the hops of a ProxyJump value ("[user@]host[:port],..."), the last one running ssh -W
  // to `host`:`port`. `configFile` is the -F file, handed on as ssh does.
  static std::optional<Proxy> jump(const std::string& hops, const std::string& host, int port,
                                   const std::optional<std::string>& configFile, std::string& why);

  Proxy(Proxy&& other) noexcept;
  Proxy& operator=(Proxy&& other) noexcept;
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;
  // Waits briefly for the child, which ends once its socket closes, then terminates it.
  ~Proxy();

  // Our end of the socket pair, for the connection to own; -1 once taken.
  int takeSocket();

private:
  Proxy(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
  static std::optional<Proxy> start(const char* program, char* const argv[], std::string& why);
  void finish();

  pid_t pid_ = -1;
  int fd_ = -1;
};

}  // namespace ferrix
