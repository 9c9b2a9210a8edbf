#include "FRXKnownHosts.h"

#include "FRXInternal.h"

#include "FRXHandles.h"

#include <fcntl.h>
#include <libssh2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>

namespace frx {
namespace {

struct KnownHostsDeleter {
  void operator()(LIBSSH2_KNOWNHOSTS* hosts) const { libssh2_knownhost_free(hosts); }
};

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

// The algorithm name that opens the key blob ("ssh-ed25519", ...).
std::string keyTypeName(const ServerHostKey& key) {
  if (key.length < 4) return {};
  const auto* bytes = reinterpret_cast<const unsigned char*>(key.blob);
  const std::size_t length = (std::size_t{bytes[0]} << 24) | (std::size_t{bytes[1]} << 16) |
                             (std::size_t{bytes[2]} << 8) | std::size_t{bytes[3]};
  if (length > key.length - 4) return {};
  return std::string(key.blob + 4, length);
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string base64(const unsigned char* data, std::size_t size) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < size; i += 3) {
    const std::size_t left = size - i;
    unsigned v = static_cast<unsigned>(data[i]) << 16;
    if (left > 1) v |= static_cast<unsigned>(data[i + 1]) << 8;
    if (left > 2) v |= data[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += left > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    out += left > 2 ? kAlphabet[v & 63] : '=';
  }
  return out;
}

std::string sha256Fingerprint(LIBSSH2_SESSION* session) {
  const char* hash = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_SHA256);
  if (hash == nullptr) return {};
  std::string text = base64(reinterpret_cast<const unsigned char*>(hash), 32);
  while (!text.empty() && text.back() == '=') text.pop_back();
  return "SHA256:" + text;
}

KnownHostVerdict checkKnownHosts(LIBSSH2_SESSION* session, const std::string& path, const std::string& host, int port,
                                 const ServerHostKey& key) {
  std::ifstream file(path);
  if (!file) return KnownHostVerdict::Unknown;
  std::unique_ptr<LIBSSH2_KNOWNHOSTS, KnownHostsDeleter> hosts(libssh2_knownhost_init(session));
  if (!hosts) return KnownHostVerdict::Unknown;
  const std::string keyText = base64(reinterpret_cast<const unsigned char*>(key.blob), key.length);

  std::string line;
  while (std::getline(file, line)) {
    const std::string_view text = trimmed(line);
    if (text.empty() || text.front() == '#') continue;
    if (text.front() == '@') {
      // "@marker hosts keytype key [comment]"
      std::istringstream fields{std::string(text)};
      std::string marker, patterns, type, body;
      fields >> marker >> patterns >> type >> body;
      if (marker == "@revoked" && body == keyText) return KnownHostVerdict::Revoked;
      continue;
    }
    // A line libssh2 can't parse (an unknown key type, say) is passed over, as OpenSSH does.
    libssh2_knownhost_readline(hosts.get(), text.data(), text.size(), LIBSSH2_KNOWNHOST_FILE_OPENSSH);
  }
  const int check = libssh2_knownhost_checkp(
      hosts.get(), host.c_str(), port, key.blob, key.length,
      LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | knownHostKeyType(key.libssh2Type), nullptr);
  switch (check) {
    case LIBSSH2_KNOWNHOST_CHECK_MATCH: return KnownHostVerdict::Match;
    case LIBSSH2_KNOWNHOST_CHECK_MISMATCH: return KnownHostVerdict::Changed;
    default: return KnownHostVerdict::Unknown;
  }
}

int addKnownHost(const std::string& path, const std::string& host, int port, const ServerHostKey& key) {
  const std::string type = keyTypeName(key);
  if (type.empty()) return EINVAL;
  const std::string directory = deletingLastPathComponent(path);
  if (!directory.empty() && ::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  const std::string name = port == 22 ? host : "[" + host + "]:" + std::to_string(port);
  const std::string line =
      name + " " + type + " " + base64(reinterpret_cast<const unsigned char*>(key.blob), key.length) + "\n";
  FRXUniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return errno;
  // One write with O_APPEND: two processes adding at once don't interleave their lines.
  const ssize_t written = ::write(fd.get(), line.data(), line.size());
  if (written < 0) return errno;
  if (static_cast<std::size_t>(written) != line.size()) return EIO;
  return fd.reset();
}

}  // namespace frx
