// The host key check against an OpenSSH known-hosts file. libssh2 matches plain and hashed host
// lines; the marker lines it does not understand (@revoked, @cert-authority) are read here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct _LIBSSH2_SESSION;

namespace frx {

enum class KnownHostVerdict { Match, Unknown, Changed, Revoked };

struct ServerHostKey {
  const char* blob = nullptr;  // the key as the server sent it (SSH wire format)
  std::size_t length = 0;
  int libssh2Type = 0;  // LIBSSH2_HOSTKEY_TYPE_*
};

// A missing or unreadable file knows no host. A key listed under @revoked is refused for every
// host; @cert-authority lines vouch only for certificates, which libssh2 does not negotiate, so they
// never make a plain key known.
KnownHostVerdict checkKnownHosts(_LIBSSH2_SESSION* session, const std::string& path, const std::string& host,
                                 int port, const ServerHostKey& key);

// Appends the host's line ("host" for port 22, "[host]:port" otherwise) to the file, creating the
// file (0600) and, when missing, its directory (0700). 0, or the errno of the failure.
int addKnownHost(const std::string& path, const std::string& host, int port, const ServerHostKey& key);

// Standard base64 with padding, and the "SHA256:..." fingerprint text of OpenSSH.
std::string base64(const unsigned char* data, std::size_t size);
std::string sha256Fingerprint(_LIBSSH2_SESSION* session);

}  // namespace frx
