// FRXConnection against a real sshd: address resolution, the choice of login method, failures,
// the optional host key checks and what a connection releases.
#include <Ferrix/Ferrix.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>
#include <type_traits>
#include <vector>

#include "SshServer.h"
#include "TestFiles.h"

namespace {

SshServer& server() { return SshServer::shared(); }

std::unique_ptr<FRXConnection> keyConnection(int port, const std::string& address = "127.0.0.1") {
  auto connection = std::make_unique<FRXConnection>(address, server().user(), server().privateKeyPath(),
                                                    server().publicKeyPath());
  connection->setPort(port);
  return connection;
}

std::unique_ptr<FRXConnection> passwordConnection(int port, const std::string& password) {
  auto connection = std::make_unique<FRXConnection>("127.0.0.1", server().user(), FRXPassword(password));
  connection->setPort(port);
  return connection;
}

#define REQUIRE_PASSWORD_LOGIN()                                                                      \
  if (!server().password()) GTEST_SKIP() << "PASSWORD LOGIN NOT TESTED: needs root to create the " \
                                            "test user; run the tests as root to cover it"

void expectConnectionError(const FRXError& error, const std::string& message) {
  EXPECT_EQ(error.domain, "frx_error_domain");
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.localizedDescription, message);
}

TEST(FRXConnection, InitialisersStartAtPort22WithOneKindOfCredential) {
  // Three strings are no login: a key path can never be taken for a password.
  static_assert(!std::is_constructible_v<FRXConnection, const char*, const char*, const char*>);
  FRXConnection withPassword("host", "user", FRXPassword("secret"));
  EXPECT_EQ(withPassword.port(), 22);
  EXPECT_FALSE(withPassword.privateKeyPath());
  FRXConnection withKey("host", "user", "/k", std::nullopt);
  EXPECT_EQ(withKey.port(), 22);
  EXPECT_FALSE(withKey.password());
  // No keepalives unless asked for; three unanswered ones end the connection once they are.
  EXPECT_EQ(withKey.serverAliveInterval(), 0);
  EXPECT_EQ(withKey.serverAliveCountMax(), 3);
}

TEST(FRXConnection, KeyLoginWithAndWithoutPublicKeyFile) {
  auto connection = keyConnection(server().port());
  FRXError error;
  ASSERT_TRUE(connection->connectWithError(&error)) << error.description();
  EXPECT_TRUE(connection->isConnected());
  EXPECT_TRUE(connection->disconnect());
  EXPECT_FALSE(connection->isConnected());

  // libssh2 derives the public half from the private key file.
  FRXConnection derived("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
  derived.setPort(server().publicKeyOnlyPort());
  EXPECT_TRUE(derived.connectWithError(&error)) << error.description();
}

TEST(FRXConnection, DisconnectEndsTheSessionByApplication) {
  FRXSFTP connection("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
  connection.setPort(server().port());
  ASSERT_TRUE(connection.connectWithError());
  // Once the server has answered a request it has nothing more to send that could race the end.
  EXPECT_FALSE(connection.contentsOfDirectoryAtPath("/").empty());
  connection.disconnect();
  // The server logs the reason code and text it was sent; its log lags a little behind.
  const std::regex ended("Received disconnect from 127\\.0\\.0\\.1 port [0-9]+:11: Normal Shutdown");
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    seen = std::regex_search(server().logText(), ended);
    if (!seen) usleep(20000);
  }
  EXPECT_TRUE(seen) << server().logText();
}

TEST(FRXConnection, PasswordLoginAndRejection) {
  REQUIRE_PASSWORD_LOGIN();
  auto good = passwordConnection(server().passwordOnlyPort(), *server().password());
  FRXError error;
  ASSERT_TRUE(good->connectWithError(&error)) << error.description();

  auto bad = passwordConnection(server().port(), "wrong password");
  EXPECT_FALSE(bad->connectWithError(&error));
  expectConnectionError(error, "Server rejected username or password.");
  // The session stays held until disconnect.
  EXPECT_TRUE(bad->isConnected());
  bad->disconnect();
  EXPECT_FALSE(bad->isConnected());
}

// Test processes run at once (ctest -j, another checkout) share the test user: one that starts
// and ends while another runs leaves the other's password working.
TEST(FRXConnection, AnotherTestProcessLeavesThePasswordWorking) {
  REQUIRE_PASSWORD_LOGIN();
  std::string output;
  ASSERT_EQ(runProgram("/proc/self/exe", {"--gtest_filter=FRXConnection.PasswordLoginAndRejection"}, "", &output), 0)
      << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
  auto after = passwordConnection(server().passwordOnlyPort(), *server().password());
  FRXError error;
  EXPECT_TRUE(after->connectWithError(&error)) << error.description();
}

TEST(FRXConnection, OnlyThePasswordIsTriedWhenBothAreSet) {
  REQUIRE_PASSWORD_LOGIN();
  auto connection = keyConnection(server().port());
  connection->setPassword("wrong password");
  FRXError error;
  EXPECT_FALSE(connection->connectWithError(&error));
  expectConnectionError(error, "Server rejected username or password.");

  // Offered only the public key, the server lets the same object's key in.
  auto keyOnly = keyConnection(server().publicKeyOnlyPort());
  keyOnly->setPassword("wrong password");
  EXPECT_TRUE(keyOnly->connectWithError(&error)) << error.description();
}

TEST(FRXConnection, RejectedKeyCarriesLibssh2Code) {
  FRXConnection stranger("127.0.0.1", server().user(), server().strangerPrivateKeyPath(),
                         server().strangerPublicKeyPath());
  stranger.setPort(server().port());
  FRXError error;
  EXPECT_FALSE(stranger.connectWithError(&error));
  EXPECT_EQ(error.domain, "frx_error_domain");
  EXPECT_TRUE(std::regex_match(error.localizedDescription, std::regex("Server rejected key, -[0-9]+")))
      << error.localizedDescription;
  EXPECT_TRUE(stranger.isConnected());

  FRXConnection missingFile("127.0.0.1", server().user(), server().localDirectory() + "/no-such-key", std::nullopt);
  missingFile.setPort(server().port());
  EXPECT_FALSE(missingFile.connectWithError(&error));
  // A key file that isn't there is a local file error, not a refusal by the server.
  EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
  EXPECT_EQ(error.code, 260);
  EXPECT_EQ(error.reason(), "no such file or directory");
}

TEST(FRXConnection, NoSupportedAuthWhenTheOfferedMethodIsNotSet) {
  FRXError error;
  auto passwordOnly = passwordConnection(server().publicKeyOnlyPort(), "whatever");
  EXPECT_FALSE(passwordOnly->connectWithError(&error));
  expectConnectionError(error, "No supported auth.");

  auto keyOnly = keyConnection(server().passwordOnlyPort());
  EXPECT_FALSE(keyOnly->connectWithError(&error));
  expectConnectionError(error, "No supported auth.");
  // Without an out-parameter the failure is the result alone.
  keyOnly->disconnect();
  EXPECT_FALSE(keyOnly->connectWithError());
}

TEST(FRXConnection, AddressesAreResolvedAndPortIsTakenModulo65536) {
  FRXError error;
  auto empty = keyConnection(server().port(), "");
  EXPECT_FALSE(empty->connectWithError(&error));
  expectConnectionError(error, "Unable to find host address.");

  auto wrapped = keyConnection(server().port() + 65536);
  EXPECT_TRUE(wrapped->connectWithError(&error)) << error.description();

  auto named = keyConnection(server().port(), "localhost");
  EXPECT_TRUE(named->connectWithError(&error)) << error.description();

  if (!server().hasIPv6()) GTEST_SKIP() << "no IPv6 loopback here";
  auto v6 = keyConnection(server().port(), "::1");
  EXPECT_TRUE(v6->connectWithError(&error)) << error.description();
  auto bracketed = keyConnection(server().port(), "[::1]");
  EXPECT_TRUE(bracketed->connectWithError(&error)) << error.description();
}

TEST(FRXConnection, AServerThatIsNotSSHFailsTheHandshake) {
  // A listener that answers like a web server and hangs up.
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::thread web([listener] {
    int peer = accept(listener, nullptr, nullptr);
    const char reply[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
    (void)!write(peer, reply, sizeof reply - 1);
    close(peer);
  });
  auto connection = keyConnection(ntohs(address.sin_port));
  FRXError error;
  EXPECT_FALSE(connection->connectWithError(&error));
  web.join();
  close(listener);
  expectConnectionError(error, "Failed to establish SSH session.");
  EXPECT_TRUE(connection->isConnected());  // the session is kept until disconnect
  connection->disconnect();
  EXPECT_FALSE(connection->isConnected());
}

TEST(FRXConnection, FailedConnectionsReleaseTheirSockets) {
  (void)server();  // started before counting
  const std::size_t before = openDescriptorCount();
  // A port nothing listens on.
  {
    auto refused = keyConnection(1);
    FRXError error;
    EXPECT_FALSE(refused->connectWithError(&error));
    expectConnectionError(error, "Socket connection failed.");
    EXPECT_FALSE(refused->isConnected());
    EXPECT_EQ(openDescriptorCount(), before);
  }
  {
    FRXConnection stranger("127.0.0.1", server().user(), server().strangerPrivateKeyPath(), std::nullopt);
    stranger.setPort(server().port());
    EXPECT_FALSE(stranger.connectWithError());
    EXPECT_GT(openDescriptorCount(), before);
    // Destruction releases a held session too.
  }
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(FRXConnection, DestructionLogsOneLine) {
  testing::internal::CaptureStderr();
  { FRXConnection idle("127.0.0.1", "user", FRXPassword("password")); }
  {
    FRXSFTP sftp("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
    sftp.setPort(server().port());
    ASSERT_TRUE(sftp.connectWithError());
  }
  const std::string logged = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_search(logged, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+\[\d+:\d+\] -\[FRXConnection dealloc\]\n)")))
      << logged;
  std::size_t lines = 0;
  for (std::size_t at = logged.find("-[FRXConnection dealloc]"); at != std::string::npos;
       at = logged.find("-[FRXConnection dealloc]", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 2u);
}

TEST(FRXConnection, OptionalHostKeyChecks) {
  FRXError error;
  auto pinned = keyConnection(server().port());
  pinned->setHostKeyFingerprint(server().hostKeyFingerprint());
  EXPECT_TRUE(pinned->connectWithError(&error)) << error.description();

  auto wrongPin = keyConnection(server().port());
  wrongPin->setHostKeyFingerprint("SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA");
  EXPECT_FALSE(wrongPin->connectWithError(&error));
  EXPECT_EQ(error.domain, "frx_error_domain");
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.localizedDescription, "Host key verification failed.");

  const std::string knownHosts = server().localDirectory() + "/known_hosts";
  writeFile(knownHosts, "[127.0.0.1]:" + std::to_string(server().port()) + " " + server().hostKeyLine() + "\n");
  auto listed = keyConnection(server().port());
  listed->setKnownHostsPath(knownHosts);
  EXPECT_TRUE(listed->connectWithError(&error)) << error.description();

  // Each outcome has its own code: unknown host, changed key, revoked key. A @cert-authority line
  // never vouches for a plain key.
  const std::string host = "[127.0.0.1]:" + std::to_string(server().port()) + " ";
  std::istringstream strangerLine(readFile(server().strangerPublicKeyPath()));
  std::string strangerType, strangerKey;
  strangerLine >> strangerType >> strangerKey;
  struct Case {
    std::string file;
    long code;
  };
  const Case cases[] = {
      {"[127.0.0.1]:" + std::to_string(server().port() + 1) + " " + server().hostKeyLine() + "\n", 4},
      {"", 4},
      {"@cert-authority * " + server().hostKeyLine() + "\n", 4},
      {host + strangerType + " " + strangerKey + "\n", 2},
      {"@revoked * " + server().hostKeyLine() + "\n" + host + server().hostKeyLine() + "\n", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = server().localDirectory() + "/known_hosts_case";
    writeFile(path, c.file);
    auto checked = keyConnection(server().port());
    checked->setKnownHostsPath(path);
    EXPECT_FALSE(checked->connectWithError(&error));
    EXPECT_EQ(error.domain, "frx_error_domain");
    EXPECT_EQ(error.code, c.code) << error.localizedDescription;
  }
  auto missingFile = keyConnection(server().port());
  missingFile->setKnownHostsPath(server().localDirectory() + "/no_known_hosts");
  EXPECT_FALSE(missingFile->connectWithError(&error));
  EXPECT_EQ(error.code, 4);
}

// Relays between one end of a socket pair and a TCP connection to the server, as a ProxyCommand
// does, until either side closes.
class SocketPairRelay {
public:
  explicit SocketPairRelay(int port) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    clientEnd_ = ends[0];
    relayEnd_ = ends[1];
    tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(tcp_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    relay_ = std::thread([this] { run(); });
  }
  SocketPairRelay(const SocketPairRelay&) = delete;
  SocketPairRelay& operator=(const SocketPairRelay&) = delete;
  ~SocketPairRelay() {
    if (relay_.joinable()) relay_.join();
    ::close(relayEnd_);
    ::close(tcp_);
  }
  // The end to hand over; -1 when the relay could not start.
  [[nodiscard]] int clientEnd() const { return relay_.joinable() ? clientEnd_ : -1; }

private:
  void run() {
    pollfd both[2] = {{relayEnd_, POLLIN, 0}, {tcp_, POLLIN, 0}};
    char buffer[65536];
    for (;;) {
      if (::poll(both, 2, -1) < 0) return;
      for (int i = 0; i < 2; ++i) {
        if (both[i].revents == 0) continue;
        const ssize_t got = ::read(both[i].fd, buffer, sizeof buffer);
        if (got <= 0) {
          ::shutdown(both[1 - i].fd, SHUT_WR);
          return;
        }
        for (ssize_t sent = 0; sent < got;) {
          const ssize_t n = ::write(both[1 - i].fd, buffer + sent, static_cast<std::size_t>(got - sent));
          if (n <= 0) return;
          sent += n;
        }
      }
    }
  }
  int clientEnd_ = -1;
  int relayEnd_ = -1;
  int tcp_ = -1;
  std::thread relay_;
};

TEST(FRXConnection, AConnectedSocketIsUsedInsteadOfTCPAndOwned) {
  // Nothing listens on port 1: only the socket pair can reach the server. The address and port
  // still name the host for the known-hosts check.
  const std::string knownHosts = server().localDirectory() + "/known_hosts_relayed";
  writeFile(knownHosts, "[127.0.0.1]:1 " + server().hostKeyLine() + "\n");
  SocketPairRelay relay(server().port());
  const int fd = relay.clientEnd();
  ASSERT_GE(fd, 0);
  auto connection = keyConnection(1);
  connection->setKnownHostsPath(knownHosts);
  connection->setConnectedSocket(fd);
  FRXError error;
  ASSERT_TRUE(connection->connectWithError(&error)) << error.description();
  EXPECT_EQ(connection->hostKeyOutcome(), FRXHostKeyOutcome::Known);
  connection->disconnect();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the socket was not closed with the connection";

  // Used by one connect: the next opens TCP, and says why that failed.
  EXPECT_FALSE(connection->connectWithError(&(error = {})));
  EXPECT_EQ(error.localizedDescription, "Socket connection failed.");
  EXPECT_EQ(error.underlyingPOSIXError, ECONNREFUSED);
}

TEST(FRXConnection, AcceptNewAddsAnUnknownHostOnceAndStillRefusesAChangedKey) {
  const std::string directory = server().localDirectory() + "/accept-new";
  const std::string path = directory + "/known_hosts";  // the directory is made too
  FRXError error;
  auto first = keyConnection(server().port());
  first->setKnownHostsPath(path);
  first->setAcceptsNewHostKeys(true);
  ASSERT_TRUE(first->connectWithError(&error)) << error.description();
  EXPECT_EQ(first->hostKeyOutcome(), FRXHostKeyOutcome::Added);
  EXPECT_EQ(first->serverHostKeyFingerprint(), server().hostKeyFingerprint());
  EXPECT_EQ(readFile(path), "[127.0.0.1]:" + std::to_string(server().port()) + " " + server().hostKeyLine() + "\n");
  EXPECT_EQ(modeOf(path), 0600u);

  auto again = keyConnection(server().port());
  again->setKnownHostsPath(path);
  again->setAcceptsNewHostKeys(true);
  ASSERT_TRUE(again->connectWithError(&error)) << error.description();
  EXPECT_EQ(again->hostKeyOutcome(), FRXHostKeyOutcome::Known);

  // The same host with another key: the attack accept-new must not wave through.
  std::istringstream strangerLine(readFile(server().strangerPublicKeyPath()));
  std::string type, key;
  strangerLine >> type >> key;
  writeFile(path, "[127.0.0.1]:" + std::to_string(server().port()) + " " + type + " " + key + "\n");
  auto changed = keyConnection(server().port());
  changed->setKnownHostsPath(path);
  changed->setAcceptsNewHostKeys(true);
  EXPECT_FALSE(changed->connectWithError(&error));
  EXPECT_EQ(error.code, FRXConnectionErrorHostKeyMismatch);
  EXPECT_EQ(readFile(path).size(), 1 + ("[127.0.0.1]:" + std::to_string(server().port()) + " " + type + " " + key).size());
}

TEST(FRXConnection, MoreLogins) {
  FRXError error;
  // An encrypted key file with its passphrase; without it the login fails.
  auto encrypted = std::make_unique<FRXConnection>("127.0.0.1", server().user(), server().passphraseKeyPath(),
                                                   std::nullopt);
  encrypted->setPort(server().publicKeyOnlyPort());
  EXPECT_FALSE(encrypted->connectWithError(&error));
  encrypted->disconnect();
  encrypted->setPassphrase(SshServer::passphrase());
  EXPECT_TRUE(encrypted->connectWithError(&error)) << error.description();

  // The ssh-agent's identities, with no usable key file at all.
  const std::string socket = server().localDirectory() + "/agent.sock";
  std::string started;
  ASSERT_EQ(runProgram("/usr/bin/ssh-agent", {"-s", "-a", socket}, "", &started), 0);
  const std::size_t at = started.find("SSH_AGENT_PID=");
  ASSERT_NE(at, std::string::npos) << started;
  const pid_t agentPid = static_cast<pid_t>(std::stol(started.substr(at + 14)));
  setenv("SSH_AUTH_SOCK", socket.c_str(), 1);
  EXPECT_EQ(runProgram("/usr/bin/ssh-add", {server().privateKeyPath()}), 0);
  FRXConnection agent("127.0.0.1", server().user(), server().localDirectory() + "/no-such-key", std::nullopt);
  agent.setPort(server().publicKeyOnlyPort());
  agent.setUsesAgent(true);
  EXPECT_TRUE(agent.connectWithError(&error)) << error.description();
  unsetenv("SSH_AUTH_SOCK");
  kill(agentPid, SIGTERM);

  // Keyboard-interactive, answered with the password, only when allowed.
  if (!server().password()) GTEST_SKIP() << "KEYBOARD-INTERACTIVE NOT TESTED: needs root";
  const int port = server().keyboardInteractivePort();
  ASSERT_NE(port, 0) << "the PAM server did not start";
  auto interactive = passwordConnection(port, *server().password());
  EXPECT_FALSE(interactive->connectWithError(&error));
  expectConnectionError(error, "No supported auth.");
  interactive->disconnect();
  interactive->setAllowsKeyboardInteractive(true);
  EXPECT_TRUE(interactive->connectWithError(&error)) << error.description();
  auto wrong = passwordConnection(port, "wrong password");
  wrong->setAllowsKeyboardInteractive(true);
  EXPECT_FALSE(wrong->connectWithError(&error));
  expectConnectionError(error, "Server rejected username or password.");
}

TEST(FRXConnection, ABlackholeTimesOutWithinTheSetting) {
  // A listener that never accepts or speaks: the connect completes, the handshake never does.
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  auto connection = keyConnection(ntohs(address.sin_port));
  connection->setTimeout(0.5);
  FRXError error;
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(connection->connectWithError(&error));
  // Generous: the point is that it ends, near the setting, not how fast.
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  EXPECT_EQ(error.domain, "frx_error_domain");
  EXPECT_EQ(error.code, FRXConnectionErrorTimedOut);
  EXPECT_EQ(error.reason(), "timed out");
  connection.reset();  // released at once
  close(listener);
}

TEST(FRXConnection, OneConnectionsEndLeavesAnotherWorking) {
  FRXSFTP first("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
  FRXSFTP second("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
  first.setPort(server().port());
  second.setPort(server().port());
  ASSERT_TRUE(first.connectWithError());
  ASSERT_TRUE(second.connectWithError());
  first.disconnect();

  const std::string remote = server().newRemoteDirectory("after-other-ends");
  const std::string local = server().localDirectory() + "/after-other-ends";
  writeFile(local, patternBytes(100000));
  FRXError error;
  ASSERT_TRUE(second.copyItemAtPath(local, remote + "/copy", &error)) << error.description();
  ASSERT_TRUE(second.copyItemAtRemotePath(remote + "/copy", local + ".back", &error)) << error.description();
  EXPECT_EQ(readFile(local + ".back"), patternBytes(100000));
  // And a new connection after both ended still starts the library afresh.
  second.disconnect();
  EXPECT_TRUE(first.connectWithError(&error)) << error.description();
}

TEST(FRXConnection, ConnectionsOnSeveralThreadsStartAndEndIndependently) {
  // Each thread connects, moves a file both ways and disconnects, over and over, so libssh2's
  // global start and end and the speed flag are exercised concurrently.
  const std::string remote = server().newRemoteDirectory("threads");
  const std::string local = server().localDirectory() + "/threads-source";
  writeFile(local, patternBytes(50000, 9));
  constexpr int kThreads = 4;
  constexpr int kRounds = 3;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        FRXSFTP sftp("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
        sftp.setPort(server().port());
        const std::string name = "/t" + std::to_string(t) + "-" + std::to_string(round);
        if (!sftp.connectWithError() || !sftp.copyItemAtPath(local, remote + name) ||
            !sftp.copyItemAtRemotePath(remote + name, local + name.substr(1)) ||
            readFile(local + name.substr(1)) != patternBytes(50000, 9)) {
          ++failures;
        }
        sftp.disconnect();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
