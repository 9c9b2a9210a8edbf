// The ferrix command against a real sshd: each command once, the exit status and what a failure prints.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "SshServer.h"
#include "TestFiles.h"

namespace {

SshServer& server() { return SshServer::shared(); }

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome ferrix(std::vector<std::string> arguments, const std::vector<std::string>& login = {}) {
  std::vector<std::string> all = login.empty()
                                     ? std::vector<std::string>{"-P", std::to_string(server().port()), "-i",
                                                                server().privateKeyPath()}
                                     : login;
  // Never the user's own ~/.ssh/known_hosts.
  if (std::find(all.begin(), all.end(), "--known-hosts") == all.end()) {
    all.insert(all.begin(), {"--known-hosts", server().localDirectory() + "/command_known_hosts"});
  }
  if (!arguments.empty() && arguments.front() != "--help") all.push_back(server().user() + "@127.0.0.1");
  all.insert(all.end(), arguments.begin(), arguments.end());
  Outcome outcome;
  outcome.status = runProgram(FERRIX_COMMAND, all, "", &outcome.out, &outcome.err);
  return outcome;
}

TEST(FerrixCommand, HelpAndUsage) {
  Outcome help = ferrix({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: ferrix"), std::string::npos);
  for (const char* flag : {"--timeout", "--known-hosts", "--insecure-host-key", "--passphrase-env", "--resume",
                           "--stop-and-wait", "--json", "get -r", "-v"}) {
    EXPECT_NE(help.out.find(flag), std::string::npos) << flag;
  }

  Outcome bad = ferrix({"frobnicate", "x"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("bad command"), std::string::npos);
}

TEST(FerrixCommand, EveryCommandRoundTrip) {
  const std::string remote = server().newRemoteDirectory("command");
  const std::string local = server().localDirectory() + "/command";
  std::filesystem::create_directories(local + "/tree/inner");
  writeFile(local + "/file", patternBytes(40000, 5));
  writeFile(local + "/tree/a", "a");
  writeFile(local + "/tree/inner/b", "bb");

  EXPECT_EQ(ferrix({"mkdir", "-p", remote + "/x/y"}).status, 0);
  EXPECT_TRUE(exists(remote + "/x/y"));
  EXPECT_EQ(ferrix({"mkdir", remote + "/z"}).status, 0);

  Outcome put = ferrix({"put", local + "/file", remote + "/x/file"});
  EXPECT_EQ(put.status, 0) << put.err;
  // Not a terminal: plain progress lines.
  EXPECT_NE(put.err.find("100%"), std::string::npos) << put.err;
  EXPECT_EQ(readFile(remote + "/x/file"), patternBytes(40000, 5));

  Outcome listing = ferrix({"ls", remote + "/x"});
  EXPECT_EQ(listing.status, 0);
  EXPECT_NE(listing.out.find("-rw-r--r--        40000 file\n"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find(" y\n"), std::string::npos);

  Outcome status = ferrix({"stat", remote + "/x/file"});
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.out.find("size: 40000"), std::string::npos) << status.out;

  Outcome json = ferrix({"stat", "--json", remote + "/x/file"});
  EXPECT_EQ(json.out, "{\"name\": \"" + remote + "/x/file\", \"permissions\": 33188, \"mode\": \"-rw-r--r--\", "
                      "\"size\": 40000}\n");
  Outcome jsonListing = ferrix({"ls", "--json", remote + "/x"});
  EXPECT_EQ(jsonListing.out.front(), '[');
  EXPECT_NE(jsonListing.out.find("{\"name\": \"file\", \"permissions\": 33188"), std::string::npos) << jsonListing.out;

  // Resumed both ways from a partial destination, and a tree downloaded whole.
  writeFile(remote + "/x/partial", patternBytes(40000, 5).substr(0, 10000));
  server().giveToUser(remote + "/x/partial");
  EXPECT_EQ(ferrix({"put", "--resume", local + "/file", remote + "/x/partial"}).status, 0);
  EXPECT_EQ(readFile(remote + "/x/partial"), patternBytes(40000, 5));
  writeFile(local + "/partial", patternBytes(40000, 5).substr(0, 20000));
  EXPECT_EQ(ferrix({"get", "--resume", remote + "/x/file", local + "/partial"}).status, 0);
  EXPECT_EQ(readFile(local + "/partial"), patternBytes(40000, 5));
  EXPECT_EQ(ferrix({"get", "-r", remote + "/x", local + "/x-copy"}).status, 0);
  EXPECT_EQ(readFile(local + "/x-copy/partial"), patternBytes(40000, 5));
  EXPECT_TRUE(std::filesystem::is_directory(local + "/x-copy/y"));

  EXPECT_EQ(ferrix({"get", remote + "/x/file", local + "/back"}).status, 0);
  EXPECT_EQ(readFile(local + "/back"), patternBytes(40000, 5));

  EXPECT_EQ(ferrix({"put", "-r", local + "/tree", remote + "/tree"}).status, 0);
  EXPECT_EQ(readFile(remote + "/tree/inner/b"), "bb");

  EXPECT_EQ(ferrix({"rm", remote + "/x/file"}).status, 0);
  EXPECT_FALSE(exists(remote + "/x/file"));
  EXPECT_EQ(ferrix({"rmdir", remote + "/tree"}).status, 0);
  EXPECT_FALSE(exists(remote + "/tree"));
}

TEST(FerrixCommand, FailuresPrintDomainCodeAndMessage) {
  const std::string remote = server().newRemoteDirectory("command-failures");
  Outcome missing = ferrix({"get", remote + "/absent", server().localDirectory() + "/absent"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("frx_sftp_error_domain 4: Unable to open remote file for reading."), std::string::npos)
      << missing.err;

  EXPECT_NE(missing.err.find("(no such file)"), std::string::npos) << missing.err;
  if (geteuid() == 0) {
    // The test user may not look into a directory only root can read.
    const std::string closed = server().localDirectory() + "/closed";
    std::filesystem::create_directories(closed);
    chmod(closed.c_str(), 0700);
    Outcome denied = ferrix({"ls", closed});
    EXPECT_NE(denied.err.find("(permission denied)"), std::string::npos) << denied.err;
  }

  Outcome stranger = ferrix({"ls", "/"}, {"-P", std::to_string(server().port()), "-i", server().strangerPrivateKeyPath()});
  EXPECT_EQ(stranger.status, 1);
  EXPECT_NE(stranger.err.find("frx_error_domain 1: Server rejected key, -"), std::string::npos) << stranger.err;

  Outcome pinned = ferrix({"ls", "/"}, {"-P", std::to_string(server().port()), "-i", server().privateKeyPath(),
                                        "--fingerprint", "SHA256:nope"});
  EXPECT_EQ(pinned.status, 1);
  EXPECT_NE(pinned.err.find("frx_error_domain 2: Host key verification failed."), std::string::npos);
  Outcome trusted = ferrix({"ls", "/"}, {"-P", std::to_string(server().port()), "-i", server().privateKeyPath(),
                                         "--fingerprint", server().hostKeyFingerprint()});
  EXPECT_EQ(trusted.status, 0) << trusted.err;
}

TEST(FerrixCommand, KnownHostsAcceptNewThenRefuseAChangedKey) {
  const std::string file = server().localDirectory() + "/ferrix_known_hosts";
  const std::vector<std::string> login{"-P", std::to_string(server().port()), "-i", server().privateKeyPath(),
                                       "--known-hosts", file};
  Outcome first = ferrix({"ls", "/"}, login);
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.err.find("added " + server().hostKeyFingerprint()), std::string::npos) << first.err;
  Outcome second = ferrix({"ls", "/"}, login);
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.err.find("added"), std::string::npos);

  writeFile(file, "[127.0.0.1]:" + std::to_string(server().port()) + " " + readFile(server().strangerPublicKeyPath()));
  Outcome changed = ferrix({"ls", "/"}, login);
  EXPECT_EQ(changed.status, 1);
  EXPECT_NE(changed.err.find("frx_error_domain 2: Host key verification failed: the server's key differs"),
            std::string::npos) << changed.err;
  std::vector<std::string> insecure = login;
  insecure.push_back("--insecure-host-key");
  EXPECT_EQ(ferrix({"ls", "/"}, insecure).status, 0);
  // The library's log line only with -v.
  EXPECT_EQ(second.err.find("FRXConnection dealloc"), std::string::npos);
  insecure.push_back("-v");
  EXPECT_NE(ferrix({"ls", "/"}, insecure).err.find("-[FRXConnection dealloc]"), std::string::npos);
}

// Reads what the program on a terminal's other end shows, until `wanted` appears or the output ends
// (or 20 s pass).
std::string readTerminal(int master, const std::string& wanted = "") {
  std::string seen;
  for (int waits = 0; waits < 200 && (wanted.empty() || seen.find(wanted) == std::string::npos); ++waits) {
    pollfd ready{master, POLLIN, 0};
    if (::poll(&ready, 1, 100) == 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the program has gone
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  return seen;
}

TEST(FerrixCommand, APassphraseIsAskedOnTheTerminalWithoutEchoAndEchoComesBack) {
  const std::string passphrase = SshServer::passphrase();
  std::vector<std::string> words{FERRIX_COMMAND, "--known-hosts", server().localDirectory() + "/tty_known_hosts",
                                 "-P", std::to_string(server().port()), "-i", server().passphraseKeyPath(),
                                 server().user() + "@127.0.0.1", "ls", "/"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // Answered, and cut short by Ctrl-C at the prompt.
  for (bool interrupted : {false, true}) {
    SCOPED_TRACE(interrupted ? "Ctrl-C" : "answered");
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::unsetenv("SSH_AUTH_SOCK");
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    std::string shown = readTerminal(master, "Passphrase for ");
    termios terminal{};
    ASSERT_EQ(::tcgetattr(master, &terminal), 0);
    EXPECT_EQ(terminal.c_lflag & ECHO, 0u) << shown;
    const std::string typed = interrupted ? std::string(1, static_cast<char>(terminal.c_cc[VINTR])) : passphrase + "\n";
    ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    // Echo is back before the program goes on (or ends).
    shown += readTerminal(master, interrupted ? "" : "\n");
    ASSERT_EQ(::tcgetattr(master, &terminal), 0);
    EXPECT_NE(terminal.c_lflag & ECHO, 0u);
    shown += readTerminal(master);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(master);
    EXPECT_EQ(WEXITSTATUS(status), interrupted ? 130 : 0) << shown;
    EXPECT_EQ(shown.find(passphrase), std::string::npos) << shown;
  }
}

// Runs a program in the background with a pipe on its standard input and output.
class Background {
public:
  Background(const std::string& program, std::vector<std::string> arguments) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = fdopen(out[0], "r");
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  ~Background() {
    if (input_ >= 0) close(input_);
    if (output_ != nullptr) fclose(output_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  // One line of its standard output, without the newline.
  std::string line() {
    char buffer[256] = {};
    if (output_ == nullptr || fgets(buffer, sizeof buffer, output_) == nullptr) return {};
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  [[nodiscard]] pid_t pid() const { return pid_; }
  // Waits for the end; the exit status, or 128 + the signal.
  int wait() {
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

private:
  pid_t pid_ = -1;
  int input_ = -1;
  FILE* output_ = nullptr;
};

TEST(FerrixCommand, AHostileServerNamesNothingOutsideAndWritesNoEscapesToTheTerminal) {
  // Its listings carry "../escaped", "sub/../../escaped-too", "/etc/ferrix-hostile", a name with
  // terminal escape sequences, and "huge", claimed to hold 2^62 bytes while holding 10.
  const std::string root = server().localDirectory() + "/hostile-root";
  const std::string escapes = "\x1b]0;owned\x07\x1b[31mred";
  std::filesystem::create_directories(root + "/tree/inner");
  writeFile(root + "/tree/huge", "0123456789");
  writeFile(root + "/tree/" + escapes, "color");
  writeFile(root + "/tree/inner/huge", "0123456789");
  writeFile(root + "/tree/inner/" + escapes, "color");
  Background hostile("/usr/bin/python3", {HOSTILE_SERVER, root});
  const std::string port = hostile.line();
  ASSERT_FALSE(port.empty()) << "the hostile server did not start";
  const std::vector<std::string> login{"-P", port, "--insecure-host-key", "--password-env", "HOME"};

  Outcome listing = ferrix({"ls", "/tree"}, login);
  EXPECT_EQ(listing.status, 0) << listing.err;
  EXPECT_EQ(listing.out.find('\x1b'), std::string::npos);
  EXPECT_NE(listing.out.find("\\x1b]0;owned\\x07\\x1b[31mred"), std::string::npos) << listing.out;

  const std::string local = server().localDirectory() + "/hostile-copy";
  std::filesystem::create_directories(local);
  Outcome tree = ferrix({"get", "-r", "/tree", local + "/tree"}, login);
  EXPECT_EQ(tree.status, 0) << tree.err;
  EXPECT_EQ(tree.err.find('\x1b'), std::string::npos);
  EXPECT_NE(tree.err.find("refusing the name ../escaped"), std::string::npos) << tree.err;
  EXPECT_EQ(readFile(local + "/tree/huge"), "0123456789");
  EXPECT_EQ(readFile(local + "/tree/inner/huge"), "0123456789");
  EXPECT_EQ(readFile(local + "/tree/" + escapes), "color");
  // Only what the server's files hold, and nothing beside or above the directory named.
  EXPECT_EQ(entryCount(local), 1u);
  EXPECT_EQ(entryCount(local + "/tree"), 3u);
  EXPECT_FALSE(exists("/etc/ferrix-hostile"));
}

TEST(FerrixCommand, SignalsStopADownloadAndLeaveNoFileBehind) {
  const std::string remote = server().newRemoteDirectory("signals");
  const std::string local = server().localDirectory() + "/signals";
  std::filesystem::create_directories(local);
  writeFile(remote + "/big", patternBytes(64u << 20, 3));
  for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    SCOPED_TRACE(signal);
    // Stop-and-wait keeps the download going long enough to be interrupted.
    Background command(FERRIX_COMMAND, {"--known-hosts", local + "/known_hosts", "-P", std::to_string(server().port()),
                                        "-i", server().privateKeyPath(), "--stop-and-wait", server().user() + "@127.0.0.1",
                                        "get", remote + "/big", local + "/big"});
    // Interrupted once the temporary file exists: mid-download.
    for (int i = 0; i < 2000 && entryCount(local) < 2; ++i) usleep(1000);
    kill(command.pid(), signal);
    EXPECT_EQ(command.wait(), status);
    EXPECT_FALSE(exists(local + "/big"));
    std::size_t left = 0;
    for (const auto& entry : std::filesystem::directory_iterator(local)) {
      if (entry.path().filename().string().find(".ferrix-") != std::string::npos) ++left;
    }
    EXPECT_EQ(left, 0u);
  }
}

TEST(FerrixCommand, PasswordFromTheEnvironment) {
  if (!server().password()) GTEST_SKIP() << "PASSWORD LOGIN NOT TESTED: needs root to create the test user";
  setenv("FERRIX_TEST_PASSWORD", server().password()->c_str(), 1);
  Outcome listing = ferrix({"ls", "/"}, {"-P", std::to_string(server().passwordOnlyPort()), "--password-env",
                                         "FERRIX_TEST_PASSWORD"});
  EXPECT_EQ(listing.status, 0) << listing.err;
  Outcome unset = ferrix({"ls", "/"}, {"-P", std::to_string(server().port()), "--password-env", "FERRIX_UNSET_VARIABLE"});
  EXPECT_EQ(unset.status, 1);
}

}  // namespace
