#include "FerrixText.h"

#include <cstdio>

namespace ferrix {

namespace {

bool beVerbose = false;

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string modeString(std::uint64_t permissions) {
  char type = '?';
  switch (permissions & 0xF000) {
    case 0x8000: type = '-'; break;
    case 0x4000: type = 'd'; break;
    case 0xA000: type = 'l'; break;
    case 0x2000: type = 'c'; break;
    case 0x6000: type = 'b'; break;
    case 0x1000: type = 'p'; break;
    case 0xC000: type = 's'; break;
    default: break;
  }
  std::string text(1, type);
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (permissions & (0400u >> bit)) != 0 ? letters[bit] : '-';
  return text;
}

std::string shortSize(double bytes) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 || bytes >= 100 ? "%.0f%s" : "%.1f%s", bytes, units[unit]);
  return text;
}

void setVerbose(bool verbose) { beVerbose = verbose; }
bool verbose() { return beVerbose; }

std::string inWords(const FRXError& error) {
  const std::string& message = error.localizedDescription;
  if (error.domain == FRXErrorDomain) {
    switch (error.code) {
      case FRXConnectionErrorTimedOut: return "timed out";
      case FRXConnectionErrorHostKeyMismatch: return "host key verification failed";
      case FRXConnectionErrorHostKeyUnknown: return "host key verification failed (not a known host)";
      case FRXConnectionErrorHostKeyRevoked: return "host key verification failed (the key is revoked)";
      default: break;
    }
    if (startsWith(message, "Unable to find host address")) return "no such host";
    if (startsWith(message, "Socket connection failed")) return "cannot connect";
    if (startsWith(message, "Server rejected key")) return "permission denied (the server refused the key)";
    if (startsWith(message, "Server rejected username or password")) return "permission denied (wrong user or password)";
    if (startsWith(message, "No supported auth")) return "permission denied (no login method that the server accepts)";
    if (startsWith(message, "Failed to establish SSH session")) {
      const std::string why = error.reason();
      return "the SSH handshake failed" + (why.empty() ? "" : " (" + why + ")");
    }
  }
  if (error.domain == FRXSFTPErrorDomain) {
    switch (error.code) {
      case FRXSFTPErrorNoConnection: return "not connected";
      case FRXSFTPErrorTimedOut: return "timed out";
      case FRXSFTPErrorCancelled: return "cancelled";
      case FRXSFTPErrorNotRegularFile: return "not a regular file";
      default: break;
    }
  }
  std::string why = error.reason();
  if (!why.empty()) return why;
  if (error.domain == FRXSFTPErrorDomain) {
    switch (error.code) {
      case FRXSFTPErrorNotFound: return "no such file";
      case FRXSFTPErrorItemExists: return "already exists";
      case FRXSFTPErrorRemoteFile: return "the server refused to open the file";
      case FRXSFTPErrorRemoval: return "the server refused to remove it";
      case FRXSFTPErrorLocalFile: return "cannot open the local file";
      case FRXSFTPErrorTransfer: return "the transfer broke off";
      default: break;
    }
  }
  std::string text = message;
  while (!text.empty() && (text.back() == '\n' || text.back() == '.')) text.pop_back();
  return text.empty() ? "failed" : text;
}

int report(const std::string& what, const FRXError& error) {
  if (error.domain.empty()) return report(what, "failed (no error was reported)");
  std::string words = inWords(error);
  if (beVerbose) {
    std::string message = error.localizedDescription;
    while (!message.empty() && message.back() == '\n') message.pop_back();
    words += " [" + error.domain + " " + std::to_string(error.code) + ": " + message;
    if (!error.sessionErrorMessage.empty()) {
      words += "; libssh2 " + std::to_string(error.sessionErrorCode) + ": " + error.sessionErrorMessage;
    }
    words += "]";
  }
  return report(what, words);
}

int report(const std::string& what, const std::string& words) {
  std::fprintf(stderr, "ferrix: %s: %s\n", printable(what).c_str(), printable(words).c_str());
  return 1;
}

}  // namespace ferrix
