// Test support: a client speaking the frame protocol by hand, for sending what a well-behaved
// client never would.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace zebtest {

// A connected socket, or -1.
int rawConnect(const std::string& socketPath);
bool readAll(int fd, void* buffer, std::size_t n);
bool writeAll(int fd, const std::string& bytes);
// Reads the daemon's challenge and echoes it: the connection may then send requests.
bool rawHandshake(int fd);
// True when the peer closes the connection within the time (what it sends meanwhile is read and dropped).
bool closedByPeer(int fd, std::chrono::milliseconds timeout);

}  // namespace zebtest
