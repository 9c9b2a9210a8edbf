// The ferrix command against a real sshd: each command once, the exit status and what a failure prints.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>
#include <utility>

#include "LatencyProxy.h"
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
  if (!arguments.empty() && arguments.front() != "--help" && arguments.front() != "--version") {
    all.push_back(server().user() + "@127.0.0.1");
  }
  all.insert(all.end(), arguments.begin(), arguments.end());
  Outcome outcome;
  outcome.status = runProgram(FERRIX_COMMAND, all, "", &outcome.out, &outcome.err);
  return outcome;
}

// The command with exactly these words.
Outcome runOutcome(const std::vector<std::string>& words) {
  Outcome outcome;
  outcome.status = runProgram(FERRIX_COMMAND, words, "", &outcome.out, &outcome.err);
  return outcome;
}

TEST(FerrixCommand, HelpVersionAndUsageErrorsBeforeConnecting) {
  Outcome help = ferrix({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: ferrix"), std::string::npos);
  for (const char* flag : {"--timeout", "--known-hosts", "--insecure-host-key", "--passphrase-env", "--resume",
                           "--stop-and-wait", "--streams N", "--json", "get -r", "-v", "-F CONFIGFILE", "-o KEYWORD=VALUE", "-b"}) {
    EXPECT_NE(help.out.find(flag), std::string::npos) << flag;
  }
  Outcome version = ferrix({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("ferrix ", 0), 0u) << version.out;

  // Wrong words are refused before any connection: no host key is recorded, and only the short
  // usage is shown.
  const std::string knownHosts = server().localDirectory() + "/usage_known_hosts";
  const std::vector<std::string> login{"-P", std::to_string(server().port()), "-i", server().privateKeyPath(),
                                       "--known-hosts", knownHosts};
  for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
           {"frobnicate", "x"}, {"get"}, {"ls", "a", "b"}, {"mkdir", "-z", "x"}, {"ls", "--frob"}, {"cd", "/"}}) {
    SCOPED_TRACE(words.front() + (words.size() > 1 ? " " + words[1] : ""));
    Outcome bad = ferrix(words, login);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("Try 'ferrix --help'"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.err.find("Commands:"), std::string::npos);
    EXPECT_FALSE(exists(knownHosts));
  }
  Outcome option = ferrix({"--frobnicate", "ls", "/"}, login);
  EXPECT_EQ(option.status, 1);
  EXPECT_NE(option.err.find("unknown option --frobnicate"), std::string::npos) << option.err;

  // Options after the host and the command count as well.
  Outcome late = runOutcome({server().user() + "@127.0.0.1", "ls", "-P", std::to_string(server().port()), "-i",
                             server().privateKeyPath(), "--known-hosts", knownHosts, "/", "-q"});
  EXPECT_EQ(late.status, 0) << late.err;
}

void setTimes(const std::string& path, long access, long modification) {
  const timespec times[2] = {{access, 0}, {modification, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Access and modification time, in seconds.
std::pair<long, long> timesOf(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return {-1, -1};
  return {status.st_atim.tv_sec, status.st_mtim.tv_sec};
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
  // Not a terminal: one line for the file, with its size, rate and time.
  EXPECT_NE(put.err.find(local + "/file: 40000 bytes in "), std::string::npos) << put.err;
  EXPECT_NE(put.err.find(" MB/s)\n"), std::string::npos) << put.err;
  EXPECT_EQ(readFile(remote + "/x/file"), patternBytes(40000, 5));

  // Sorted, without dot names unless -a; -l adds the mode and size; a file lists as itself.
  writeFile(remote + "/x/.hidden", "");
  Outcome listing = ferrix({"ls", remote + "/x"});
  EXPECT_EQ(listing.status, 0);
  EXPECT_EQ(listing.out, "file\ny\n");
  // -l: the server's long entries; a file listed as itself has none, and its line is made here.
  Outcome longListing = ferrix({"ls", "-la", remote + "/x"});
  EXPECT_TRUE(std::regex_search(longListing.out, std::regex("\n-rw-r--r-- +1 " + server().user() + " +\\S+ +40000 "
                                                            "[A-Z][a-z]{2} [ 0-9]{2} [0-9]{2}:[0-9]{2} file\n")))
      << longListing.out;
  EXPECT_NE(longListing.out.find(" y\n"), std::string::npos);
  EXPECT_NE(longListing.out.find(" .\n"), std::string::npos);
  EXPECT_NE(longListing.out.find(" .hidden\n"), std::string::npos);
  EXPECT_LT(longListing.out.find(" .\n"), longListing.out.find(" file\n"));
  EXPECT_EQ(ferrix({"ls", remote + "/x/file"}).out, remote + "/x/file\n");
  struct stat fileStatus {};
  ASSERT_EQ(stat((remote + "/x/file").c_str(), &fileStatus), 0);
  setTimes(remote + "/x/file", 1000000000, 1234567890);
  char date[32];
  const std::time_t when = 1234567890;
  std::strftime(date, sizeof date, "%b %d  %Y", std::localtime(&when));
  EXPECT_EQ(ferrix({"ls", "-l", remote + "/x/file"}).out,
            "-rw-r--r--   1 " + std::to_string(fileStatus.st_uid) + std::string(8 - std::to_string(fileStatus.st_uid).size(), ' ') +
                " " + std::to_string(fileStatus.st_gid) + std::string(8 - std::to_string(fileStatus.st_gid).size(), ' ') +
                "    40000 " + date + " " + remote + "/x/file\n");
  EXPECT_EQ(ferrix({"ls", remote + "/x/f*"}).out, "file\n");

  Outcome status = ferrix({"stat", remote + "/x/file"});
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.out.find("size: 40000"), std::string::npos) << status.out;

  Outcome json = ferrix({"stat", "--json", remote + "/x/file"});
  EXPECT_EQ(json.out, "{\"name\": \"" + remote + "/x/file\", \"permissions\": 33188, \"mode\": \"-rw-r--r--\", "
                      "\"size\": 40000}\n");
  Outcome jsonListing = ferrix({"ls", "-a", "--json", remote + "/x"});
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
  EXPECT_TRUE(readFile(local + "/x-copy/partial") == patternBytes(40000, 5));
  // An empty file comes across as one, in a tree too.
  EXPECT_TRUE(exists(local + "/x-copy/.hidden"));
  EXPECT_TRUE(std::filesystem::is_directory(local + "/x-copy/y"));

  EXPECT_EQ(ferrix({"get", remote + "/x/file", local + "/back"}).status, 0);
  EXPECT_EQ(readFile(local + "/back"), patternBytes(40000, 5));

  EXPECT_EQ(ferrix({"put", "-r", local + "/tree", remote + "/tree"}).status, 0);
  EXPECT_EQ(readFile(remote + "/tree/inner/b"), "bb");

  // rename moves, and keeps an item already at the new name.
  EXPECT_EQ(ferrix({"rename", remote + "/x/partial", remote + "/x/renamed"}).status, 0);
  EXPECT_EQ(readFile(remote + "/x/renamed"), patternBytes(40000, 5));
  Outcome kept = ferrix({"rename", remote + "/x/renamed", remote + "/x/file"});
  EXPECT_EQ(kept.status, 1);
  EXPECT_NE(kept.err.find("rename " + remote + "/x/renamed " + remote + "/x/file: file already exists"),
            std::string::npos) << kept.err;
  EXPECT_TRUE(exists(remote + "/x/renamed"));

  EXPECT_EQ(ferrix({"rm", remote + "/x/file"}).status, 0);
  EXPECT_FALSE(exists(remote + "/x/file"));
  EXPECT_EQ(ferrix({"rmdir", remote + "/tree"}).status, 0);
  EXPECT_FALSE(exists(remote + "/tree"));
}

// A port on 127.0.0.1 where nothing listens (free at the moment of asking).
int closedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

TEST(FerrixCommand, FailuresSayWhatHappenedAndNameThePath) {
  const std::string remote = server().newRemoteDirectory("command-failures");
  writeFile(remote + "/file", "x");
  const std::string local = server().localDirectory() + "/failures";
  std::filesystem::create_directories(local);
  struct Case {
    std::vector<std::string> words;
    std::string expected;
  };
  const std::vector<Case> cases{
      {{"get", remote + "/absent", local + "/absent"}, "ferrix: get " + remote + "/absent: no such file\n"},
      {{"ls", remote + "/absent"}, "ferrix: ls " + remote + "/absent: no such file\n"},
      {{"get", remote, local}, "ferrix: get " + remote + ": is a directory (use get -r)\n"},
      {{"put", local + "/absent", remote + "/x"}, "ferrix: put " + local + "/absent: "},
      {{"get", remote + "/*.none", local}, "ferrix: get " + remote + "/*.none: no such file (nothing matches)\n"},
      {{"put", local, remote + "/x"}, "ferrix: put " + local + ": is a directory (use put -r)\n"},
      {{"mkdir", remote + "/file/sub"}, "ferrix: mkdir " + remote + "/file/sub: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.front());
    Outcome outcome = ferrix(c.words);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find(c.expected), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("_domain"), std::string::npos) << outcome.err;
  }
  // Domains and codes with -v only.
  Outcome verbose = ferrix({"-v", "get", remote + "/absent", local + "/absent"});
  EXPECT_NE(verbose.err.find("no such file [frx_sftp_error_domain 2: "),
            std::string::npos) << verbose.err;
  if (geteuid() == 0) {
    // The test user may not look into a directory only root can read.
    const std::string closed = server().localDirectory() + "/closed";
    std::filesystem::create_directories(closed);
    chmod(closed.c_str(), 0700);
    EXPECT_NE(ferrix({"ls", closed}).err.find("ferrix: ls " + closed + ": permission denied\n"), std::string::npos);
  }

  Outcome refused = ferrix({"ls", "/"}, {"-P", std::to_string(closedPort()), "-i", server().privateKeyPath()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("ferrix: connect to 127.0.0.1: connection refused\n"), std::string::npos) << refused.err;

  Outcome stranger = ferrix({"ls", "/"}, {"-P", std::to_string(server().port()), "-i", server().strangerPrivateKeyPath()});
  EXPECT_EQ(stranger.status, 1);
  EXPECT_NE(stranger.err.find("permission denied (the server refused the key " + server().strangerPrivateKeyPath() + ")"),
            std::string::npos) << stranger.err;

  Outcome pinned = ferrix({"ls", "/"}, {"-P", std::to_string(server().port()), "-i", server().privateKeyPath(),
                                        "--fingerprint", "SHA256:nope"});
  EXPECT_EQ(pinned.status, 1);
  EXPECT_NE(pinned.err.find("host key verification failed"), std::string::npos) << pinned.err;
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

  const std::string name = "[127.0.0.1]:" + std::to_string(server().port());
  writeFile(file, "# another host\n" + name + " " + readFile(server().strangerPublicKeyPath()));
  Outcome changed = ferrix({"ls", "/"}, login);
  EXPECT_EQ(changed.status, 1);
  // As OpenSSH says it: the key that came, the file and line of the other one, how to remove it.
  for (const std::string& part : {"host key of " + name + " has changed", server().hostKeyFingerprint(),
                                  file + " line 2 holds another key", "ssh-keygen -R '" + name + "' -f '" + file + "'"}) {
    EXPECT_NE(changed.err.find(part), std::string::npos) << part << " in " << changed.err;
  }
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

TEST(FerrixCommand, OnATerminalScpsProgressLine) {
  const std::string remote = server().newRemoteDirectory("terminal");
  const std::string local = server().localDirectory() + "/terminal.bin";
  writeFile(local, patternBytes(3u << 20, 9));
  std::vector<std::string> words{FERRIX_COMMAND, "--known-hosts", server().localDirectory() + "/tty_known_hosts",
                                 "-P", std::to_string(server().port()), "-i", server().privateKeyPath(),
                                 server().user() + "@127.0.0.1", "put", local, remote + "/"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  const std::string shown = readTerminal(master);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(master);
  EXPECT_EQ(WEXITSTATUS(status), 0) << shown;
  // The last drawing: the name, 100%, the size, a rate and the time it took, then the line ends
  // (the terminal writes that end as "\r\n").
  ASSERT_GE(shown.size(), 2u);
  ASSERT_EQ(shown.substr(shown.size() - 2), "\r\n");
  const std::size_t last = shown.rfind('\r', shown.size() - 3);
  ASSERT_NE(last, std::string::npos) << shown;
  const std::string line = shown.substr(last + 1, shown.size() - 3 - last);
  EXPECT_EQ(line.rfind(local, 0), 0u) << line;
  for (const char* part : {" 100% ", " 3.0MB ", "B/s   00:0"}) EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
  EXPECT_EQ(line.find("ETA"), std::string::npos) << line;
  EXPECT_EQ(readFile(remote + "/terminal.bin").size(), 3u << 20);
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

namespace {

// A file of OpenSSH configuration that names the test server as `alias` (and logs in as the test
// user with the test key, known hosts in a file of its own), plus `extra` lines.
std::string configFor(const std::string& alias, const std::string& extra = "") {
  return "Host " + alias + "\n  HostName 127.0.0.1\n  Port " + std::to_string(server().port()) + "\n  User " +
         server().user() + "\n  IdentityFile " + server().privateKeyPath() + "\n  UserKnownHostsFile " +
         server().localDirectory() + "/config_known_hosts\n" + extra;
}

TEST(FerrixCommand, OpenSSHConfigurationAliasesOptionsAndURLs) {
  const std::string remote = server().newRemoteDirectory("config");
  writeFile(remote + "/here", "here");
  const std::string home = server().localDirectory() + "/config-home";
  std::filesystem::create_directories(home + "/.ssh");
  writeFile(home + "/.ssh/config", configFor("box") + "Host elsewhere\n  HostName 127.0.0.1\n  Port 1\n");
  const std::string file = server().localDirectory() + "/ferrix_config";
  writeFile(file, configFor("filed", "Host *\n  Port 1\n"));

  // ~/.ssh/config without USER@ (the alias's User), or -F in its place.
  const char* savedHome = std::getenv("HOME");
  const std::string homeBefore = savedHome != nullptr ? savedHome : "";
  setenv("HOME", home.c_str(), 1);
  Outcome alias = runOutcome({"box", "ls", remote});
  Outcome other = runOutcome({"elsewhere", "ls", remote});
  setenv("HOME", homeBefore.c_str(), 1);
  EXPECT_EQ(alias.status, 0) << alias.err;
  EXPECT_EQ(alias.out, "here\n");
  EXPECT_NE(other.err.find("connect to elsewhere: connection refused"), std::string::npos) << other.err;
  Outcome filed = runOutcome({"-F", file, "filed", "ls", remote});
  EXPECT_EQ(filed.out, "here\n") << filed.err;
  // Identity files are tried in turn: a refused one (-i comes first) and a missing one pass.
  Outcome keys = runOutcome({"-F", file, "-i", server().strangerPrivateKeyPath(), "-o", "IdentityFile=/nonexistent/key",
                             "filed", "ls", remote});
  EXPECT_EQ(keys.out, "here\n") << keys.err;
  // -o comes before every file, so it wins; so does the command line's own -P.
  Outcome overridden = runOutcome({"-F", file, "-o", "Port=" + std::to_string(closedPort()), "filed", "ls", remote});
  EXPECT_NE(overridden.err.find("connection refused"), std::string::npos) << overridden.err;
  Outcome byOption = runOutcome({"-F", file, "-o", "HostName 127.0.0.1", "-o", "User=" + server().user(), "-o",
                                 "IdentityFile=" + server().privateKeyPath(), "-o",
                                 "UserKnownHostsFile=" + server().localDirectory() + "/config_known_hosts", "-P",
                                 std::to_string(server().port()), "unnamed", "ls", remote});
  EXPECT_EQ(byOption.out, "here\n") << byOption.err;
  // StrictHostKeyChecking yes refuses a host that is not known yet.
  Outcome strict = runOutcome({"-F", file, "-o", "StrictHostKeyChecking=yes", "-o", "UserKnownHostsFile=" + home + "/none",
                               "filed", "ls", remote});
  EXPECT_NE(strict.err.find("is not a known host"), std::string::npos) << strict.err;
  EXPECT_FALSE(exists(home + "/none"));

  // sftp://[user@]host[:port]/path: the path is where relative remote paths start.
  Outcome url = runOutcome({"-i", server().privateKeyPath(), "--known-hosts", server().localDirectory() + "/config_known_hosts",
                            "-F", "none", "sftp://" + server().user() + "@127.0.0.1:" + std::to_string(server().port()) + remote,
                            "get", "here", server().localDirectory() + "/from-url"});
  EXPECT_EQ(url.status, 0) << url.err;
  EXPECT_EQ(readFile(server().localDirectory() + "/from-url"), "here");

  // A Match block is refused with its place, before connecting.
  writeFile(file, "Match host x\n  Port 1\n");
  Outcome match = runOutcome({"-F", file, "filed", "ls", "/"});
  EXPECT_EQ(match.status, 1);
  EXPECT_NE(match.err.find(file + " line 1: Match blocks are not supported"), std::string::npos) << match.err;
}

// A second sshd on 127.0.0.1, as a jump host: the test server's keys, TCP forwarding on.
class JumpServer {
public:
  JumpServer() {
    const std::string directory = std::filesystem::path(server().privateKeyPath()).parent_path().string();
    port_ = closedPort();
    config_ = server().localDirectory() + "/jump_sshd_config";
    log_ = server().localDirectory() + "/jump_sshd.log";
    writeFile(config_, "ListenAddress 127.0.0.1:" + std::to_string(port_) + "\nHostKey " + directory +
                           "/host_ed25519\nPidFile none\nAuthorizedKeysFile " + directory +
                           "/authorized_keys\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                           "KbdInteractiveAuthentication no\nAllowTcpForwarding yes\nPermitOpen 127.0.0.1:" +
                           std::to_string(server().port()) + "\nLogLevel INFO\n");
    pid_ = fork();
    if (pid_ == 0) {
      const int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      dup2(log, STDERR_FILENO);
      execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-e", "-f", config_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 500 && !listening(); ++i) usleep(10000);
  }
  JumpServer(const JumpServer&) = delete;
  JumpServer& operator=(const JumpServer&) = delete;
  ~JumpServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string log() const { return readFile(log_); }
  [[nodiscard]] bool listening() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
  }

private:
  int port_ = 0;
  pid_t pid_ = -1;
  std::string config_;
  std::string log_;
};

TEST(FerrixCommand, ProxyJumpAndProxyCommandThroughASecondServer) {
  JumpServer jump;
  ASSERT_TRUE(jump.listening()) << jump.log();
  const std::string remote = server().newRemoteDirectory("jump");
  writeFile(remote + "/far", "far away");
  // The jump host is reached by ssh, which reads the same file.
  const std::string file = server().localDirectory() + "/jump_config";
  const std::string jumpHost = "Host jumphost\n  HostName 127.0.0.1\n  Port " + std::to_string(jump.port()) +
                               "\n  User " + server().user() + "\n  IdentityFile " + server().privateKeyPath() +
                               "\n  IdentitiesOnly yes\n  BatchMode yes\n  StrictHostKeyChecking accept-new\n"
                               "  UserKnownHostsFile " + server().localDirectory() + "/jump_known_hosts\n";
  writeFile(file, configFor("viajump", "  ProxyJump jumphost\n") + configFor("viacommand", "  ProxyCommand ssh -F " +
                  std::string(server().localDirectory()) + "/jump_config -W %h:%p jumphost\n") + jumpHost);
  for (const char* alias : {"viajump", "viacommand"}) {
    SCOPED_TRACE(alias);
    const std::size_t before = jump.log().size();
    Outcome through = runOutcome({"-F", file, alias, "get", remote + "/far", server().localDirectory() + "/far-" + alias});
    EXPECT_EQ(through.status, 0) << through.err;
    EXPECT_EQ(readFile(server().localDirectory() + "/far-" + alias), "far away");
    EXPECT_NE(jump.log().substr(before).find("Accepted publickey for " + server().user()), std::string::npos);
  }
  // The jump host may open nothing but the test server: the target is refused there.
  Outcome refused = runOutcome({"-F", file, "-J", "jumphost", "-P", std::to_string(closedPort()), "-i",
                                server().privateKeyPath(), server().user() + "@127.0.0.1", "ls", "/"});
  EXPECT_EQ(refused.status, 1);
}

TEST(FerrixCommand, DirectoryDestinationsGlobsAndKeptModes) {
  const std::string remote = server().newRemoteDirectory("into");
  const std::string local = server().localDirectory() + "/into";
  std::filesystem::create_directories(local + "/in");
  std::filesystem::create_directories(local + "/tree/sub");
  writeFile(local + "/a.txt", "A", 0640);
  writeFile(local + "/b.txt", "B", 0600);
  writeFile(local + "/c.bin", "C");
  writeFile(local + "/tree/sub/t", "T");
  for (const char* name : {"up", "down"}) {
    std::filesystem::create_directories(remote + "/" + name);
    server().giveToUser(remote + "/" + name);
  }

  // put: into a remote directory, globs too; -p keeps the modes and times.
  EXPECT_EQ(ferrix({"put", local + "/c.bin", remote + "/up"}).status, 0);
  EXPECT_EQ(readFile(remote + "/up/c.bin"), "C");
  setTimes(local + "/a.txt", 1100000000, 1200000000);
  Outcome globbed = ferrix({"-p", "put", local + "/*.txt", remote + "/up/"});
  EXPECT_EQ(globbed.status, 0) << globbed.err;
  // Before anything reads the copy, which may move its access time.
  EXPECT_EQ(timesOf(remote + "/up/a.txt"), std::make_pair(1100000000L, 1200000000L));
  EXPECT_EQ(readFile(remote + "/up/a.txt"), "A");
  EXPECT_EQ(modeOf(remote + "/up/b.txt"), 0600u);
  EXPECT_EQ(ferrix({"put", "-r", local + "/tree", remote + "/up"}).status, 0);
  EXPECT_EQ(readFile(remote + "/up/tree/sub/t"), "T");
  // Again: the tree that is there now is merged into.
  writeFile(local + "/tree/sub/t2", "T2");
  Outcome again = ferrix({"put", "-r", local + "/tree", remote + "/up"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(readFile(remote + "/up/tree/sub/t2"), "T2");

  // get: into a local directory, remote globs matched on the listing, -p both ways.
  writeFile(remote + "/down/x.log", "X", 0604);
  writeFile(remote + "/down/y.log", "Y", 0640);
  writeFile(remote + "/down/.z.log", "Z");
  for (const char* name : {"x.log", "y.log", ".z.log"}) server().giveToUser(remote + "/down/" + name);
  setTimes(remote + "/down/y.log", 1300000000, 1400000000);
  Outcome remoteGlob = ferrix({"get", "-p", remote + "/down/*.log", local + "/in"});
  EXPECT_EQ(remoteGlob.status, 0) << remoteGlob.err;
  EXPECT_EQ(readFile(local + "/in/x.log"), "X");
  EXPECT_EQ(modeOf(local + "/in/y.log"), 0640u);
  EXPECT_EQ(timesOf(local + "/in/y.log"), std::make_pair(1300000000L, 1400000000L));
  // Without -p the copy is new.
  EXPECT_EQ(ferrix({"get", remote + "/down/y.log", local + "/y-new"}).status, 0);
  EXPECT_GT(timesOf(local + "/y-new").second, 1400000000L);
  EXPECT_FALSE(exists(local + "/in/.z.log"));
  EXPECT_EQ(ferrix({"get", remote + "/down/x.log", local + "/in/"}).status, 0);
  EXPECT_EQ(ferrix({"get", "-r", remote + "/up", local + "/in"}).status, 0);
  EXPECT_EQ(readFile(local + "/in/up/tree/sub/t"), "T");
  // Several sources need a directory.
  Outcome notDirectory = ferrix({"get", remote + "/down/*.log", local + "/in/x.log"});
  EXPECT_EQ(notDirectory.status, 1);
  EXPECT_NE(notDirectory.err.find("not a directory"), std::string::npos) << notDirectory.err;
}

std::size_t occurrences(const std::string& text, const std::string& word) {
  std::size_t count = 0;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

TEST(FerrixCommand, TreesMoveSeveralFilesAtOnceAndReportEachFailure) {
  const std::string remote = server().newRemoteDirectory("trees");
  const std::string local = server().localDirectory() + "/trees";
  constexpr int kFiles = 40;
  auto name = [](int i) { return "/tree/d" + std::to_string(i % 4) + "/f" + std::to_string(i); };
  for (int i = 0; i < kFiles; ++i) {
    std::filesystem::create_directories(local + "/tree/d" + std::to_string(i % 4));
    writeFile(local + name(i), patternBytes(100 + 700 * i, i));
  }
  // Upload: a directory on the server where f5 goes.
  for (const char* path : {"/tree", "/tree/d1", "/tree/d1/f5"}) {
    std::filesystem::create_directories(remote + path);
    server().giveToUser(remote + path);
  }
  Outcome up = ferrix({"--streams", "3", "-q", "put", "-r", local + "/tree", remote});
  EXPECT_EQ(up.status, 1);
  EXPECT_EQ(occurrences(up.err, "ferrix: put "), 1u) << up.err;
  EXPECT_NE(up.err.find(remote + name(5)), std::string::npos) << up.err;
  for (int i = 0; i < kFiles; ++i) {
    if (i != 5) {
      EXPECT_TRUE(readFile(remote + name(i)) == patternBytes(100 + 700 * i, i)) << i;
    }
  }

  // Download: a file the login user may not read.
  ASSERT_EQ(chmod((remote + name(6)).c_str(), 0), 0);
  server().giveToUser(remote + name(6));
  Outcome down = ferrix({"--streams", "3", "-q", "get", "-r", remote + "/tree", local + "/back"});
  EXPECT_EQ(down.status, 1);
  EXPECT_EQ(occurrences(down.err, "ferrix: get "), 1u) << down.err;
  EXPECT_NE(down.err.find(name(6)), std::string::npos) << down.err;
  for (int i = 0; i < kFiles; ++i) {
    if (i != 5 && i != 6) {
      EXPECT_TRUE(readFile(local + "/back" + name(i).substr(5)) == patternBytes(100 + 700 * i, i)) << i;
    }
  }
  EXPECT_FALSE(exists(local + "/back" + name(6).substr(5)));

  // A server that takes this connection and one more: one stream, and -v says so.
  LatencyProxy proxy(server().port(), std::chrono::microseconds(0), 2);
  Outcome capped = ferrix({"--streams", "3", "-v", "get", "-r", remote + "/tree/d0", local + "/capped"},
                          {"-P", std::to_string(proxy.port()), "-i", server().privateKeyPath()});
  EXPECT_EQ(capped.status, 0) << capped.err;
  EXPECT_NE(capped.err.find("ferrix: the server refused further connections: 1 stream instead of 3"), std::string::npos)
      << capped.err;
  EXPECT_TRUE(readFile(local + "/capped/f8") == patternBytes(100 + 700 * 8, 8));
}

TEST(FerrixCommand, ABatchFileRunsOnOneSession) {
  const std::string remote = server().newRemoteDirectory("batch");
  const std::string local = server().localDirectory() + "/batch";
  std::filesystem::create_directories(local + "/work");
  writeFile(local + "/work/one", "1");
  const std::string batch = local + "/commands";
  writeFile(batch, "# set up\n"
                   "cd " + remote + "\n"
                   "lcd " + local + "/work\n"
                   "mkdir made\n"
                   "put one made/\n"
                   "-rm absent\n"
                   "ls made\n"
                   "rename made/one made/two\n"
                   "get made/two \"copy of one\"\n"
                   "rename made/two made/one\n"
                   "mkdir gone\n"
                   "rmdir gone\n"
                   "rm made/one\n"
                   "rm made/one\n"
                   "mkdir never\n");
  auto logins = [] {
    const std::string log = server().logText();
    std::size_t count = 0;
    for (std::size_t at = log.find("Accepted publickey"); at != std::string::npos; at = log.find("Accepted publickey", at + 1)) ++count;
    return count;
  };
  const std::size_t loginsBefore = logins();
  Outcome run = runOutcome({"-b", batch, "-P", std::to_string(server().port()), "-i", server().privateKeyPath(),
                            "--known-hosts", local + "/known_hosts", server().user() + "@127.0.0.1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "one\n");
  EXPECT_EQ(readFile(local + "/work/copy of one"), "1");
  EXPECT_TRUE(exists(remote + "/made"));
  EXPECT_FALSE(exists(remote + "/made/one"));
  EXPECT_FALSE(exists(remote + "/gone"));
  // The second rm failed and ended the batch; the "-" line's failure did not.
  EXPECT_FALSE(exists(remote + "/never"));
  EXPECT_NE(run.err.find("ferrix: rm absent: no such file"), std::string::npos) << run.err;
  // One login for the whole batch.
  EXPECT_EQ(logins(), loginsBefore + 1);

  // A line that is not a command is refused before connecting.
  writeFile(batch, "ls\nfrobnicate x\n");
  Outcome bad = runOutcome({"-b", batch, "-P", std::to_string(server().port()), "-i", server().privateKeyPath(),
                            "--known-hosts", local + "/known_hosts_bad", server().user() + "@127.0.0.1"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find(batch + " line 2: unknown command frobnicate"), std::string::npos) << bad.err;
  EXPECT_FALSE(exists(local + "/known_hosts_bad"));
}

}  // namespace
