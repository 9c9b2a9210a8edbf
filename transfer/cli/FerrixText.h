// What the ferrix command prints: server text made safe for a terminal, modes, sizes, and errors
// said in words.
#pragma once

#include <Ferrix/FRXError.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace ferrix {

// Control characters and backslashes as escapes, so no escape sequence of the server's reaches
// the user's terminal.
std::string printable(std::string_view text);
std::string jsonString(std::string_view text);
// "drwxr-xr-x" from an SFTP permission word.
std::string modeString(std::uint64_t permissions);
// "1.5MB", "812KB", "17B": powers of 1024, as scp shows them.
std::string shortSize(double bytes);

// Whether -v was given: then errors also carry their domain, code and the library's message.
void setVerbose(bool verbose);
bool verbose();

// "ferrix: WHAT: WORDS" on standard error, and 1. `what` names the command and the remote path.
int report(const std::string& what, const FRXError& error);
// "ferrix: WHAT: WORDS" for a failure that has no library error.
int report(const std::string& what, const std::string& words);
// The words for an error: "no such file", "permission denied", "connection refused", ...
std::string inWords(const FRXError& error);

}  // namespace ferrix
