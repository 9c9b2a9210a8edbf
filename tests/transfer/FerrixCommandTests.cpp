// The ferrix command against a real sshd: each command once, the exit status and what a failure prints.
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
