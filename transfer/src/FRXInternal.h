// Helpers shared by the library's sources; not exported.
#pragma once

#include <Ferrix/FRXError.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace frx {

// One line on standard error, stamped like a Foundation log line: date, time, process[pid:tid].
void logLine(std::string_view text);

// Path text as Foundation's NSString path methods treat it.
std::string standardizingPath(std::string_view path);    // "~" expanded, "//", "." and ".." tidied
std::string lastPathComponent(std::string_view path);
std::string deletingLastPathComponent(std::string_view path);
std::vector<std::string> pathComponents(std::string_view path);  // "/a/b" → "/", "a", "b"

// Local file errors in the Cocoa domain, from the errno of a failed read-side or write-side call.
FRXError localReadError(std::string_view path, int posixError);
FRXError localWriteError(std::string_view path, int posixError);

FRXError makeError(std::string_view domain, long code, std::string message);
// Adds what libssh2 last said on the session (and, for a status answer of the server, the SFTP
// status) to an error made for a failed libssh2 call.
FRXError annotated(FRXError error, struct _LIBSSH2_SESSION* session, struct _LIBSSH2_SFTP* sftp = nullptr);
// Whether the session's last failure was a wait that ran out of time.
bool timedOut(struct _LIBSSH2_SESSION* session);

// Seconds on a clock that only goes forward; nullopt when it can't be read.
std::optional<double> now();

}  // namespace frx
