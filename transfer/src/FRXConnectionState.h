// What an FRXConnection holds behind its interface: the settings, the socket and the libssh2
// session, and the bookkeeping that lets a wait for the server outlast libssh2's own.
#pragma once

#include <Ferrix/FRXConnection.h>

#include "FRXHandles.h"
#include "FRXInternal.h"

#include <libssh2.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

struct FRXConnectionState {
  std::string remoteAddress;
  std::int32_t port = 22;
  FRXObject* delegate = nullptr;
  std::string username;
  std::optional<std::string> password;
  std::optional<std::string> privateKeyPath;
  std::optional<std::string> publicKeyPath;
  std::optional<std::string> knownHostsPath;
  std::optional<std::string> hostKeyFingerprint;
  bool acceptsNewHostKeys = false;
  FRXHostKeyOutcome hostKeyOutcome = FRXHostKeyOutcome::NotChecked;
  std::string serverFingerprint;
  double timeout = 0;
  int serverAliveInterval = 0;
  int serverAliveCountMax = 3;
  std::optional<std::string> passphrase;
  bool usesAgent = false;
  bool allowsKeyboardInteractive = false;
  // Given by setConnectedSocket, taken by the next connect.
  FRXUniqueFd connectedSocket;

  // Released in reverse order: the session before its socket, both before libssh2's global state.
  FRXLibraryReference library;
  FRXUniqueFd sock;
  FRXSessionHandle session;
  bool authenticated = false;
  bool deallocated = false;
  // The answer to every keyboard-interactive prompt while that login runs (the session's abstract
  // pointer is this state).
  const std::string* interactivePassword = nullptr;
  // When bytes last came from the server (the session's receive function notes it), and whether
  // the last wait ended because keepalives went unanswered.
  std::chrono::steady_clock::time_point lastHeard{};
  bool keepalivesUnanswered = false;

  [[nodiscard]] LIBSSH2_SESSION* rawSession() const { return session.get(); }
  // After a timeout: shuts the socket down so that every later libssh2 call, the session's release
  // included, fails at once instead of waiting again.
  void abandonSession();
  // Sends a keepalive when one is due (between operations; libssh2 sends them itself while it waits).
  void sendKeepaliveIfDue();
  // Applies the timeout and the keepalive settings to the session.
  void configureWaits();

  // Runs a blocking libssh2 call until it ends for a reason other than a wait that gave up early.
  // libssh2 ends a wait with a timeout error whenever a keepalive falls due, and measures its
  // timeout from the call's start; a call that returned so keeps its state and is simply made
  // again while the server has been heard from within the timeout and keepalives are answered.
  template <typename Call>
  auto patiently(Call&& call) {
    for (;;) {
      auto result = call();
      if (!gaveUpWaiting(result) || !keepWaiting()) return result;
    }
  }

private:
  template <typename Integer>
  [[nodiscard]] bool gaveUpWaiting(Integer result) const {
    return result == LIBSSH2_ERROR_TIMEOUT;
  }
  template <typename Handle>
  [[nodiscard]] bool gaveUpWaiting(Handle* result) const {
    return result == nullptr && frx::timedOut(session.get());
  }
  // After a wait that gave up: false once the server has been silent for the timeout, or for as
  // many keepalive intervals as unanswered keepalives are allowed (plus the one that counts them).
  [[nodiscard]] bool keepWaiting();
};
