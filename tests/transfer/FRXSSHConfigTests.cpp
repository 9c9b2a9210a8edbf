// FRXSSHConfig against real files: OpenSSH's precedence, patterns, Include, tokens and bad lines.
#include <Ferrix/FRXSSHConfig.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestFiles.h"

namespace {

// The settings as one line of "key=value" words, so a case can name just the words it is about.
std::string rendered(const FRXSSHHostSettings& s) {
  std::string text = "hostname=" + s.hostName + " user=" + s.user + " port=" + std::to_string(s.port);
  for (const std::string& file : s.identityFiles) text += " id=" + file;
  if (s.identitiesOnly) text += " identitiesonly";
  for (const std::string& file : s.userKnownHostsFiles) text += " known=" + file;
  if (s.strictHostKeyChecking) {
    const char* names[] = {"ask", "yes", "accept-new", "no"};
    text += std::string(" strict=") + names[static_cast<int>(*s.strictHostKeyChecking)];
  }
  if (s.connectTimeout) text += " connecttimeout=" + std::to_string(*s.connectTimeout);
  if (s.serverAliveInterval) text += " alive=" + std::to_string(*s.serverAliveInterval);
  if (s.serverAliveCountMax) text += " alivemax=" + std::to_string(*s.serverAliveCountMax);
  if (s.proxyCommand) text += " proxycommand=[" + *s.proxyCommand + "]";
  if (s.proxyJump) text += " proxyjump=" + *s.proxyJump;
  return text + " ";
}

struct Case {
  const char* name;
  std::string config;                // ~/.ssh/config of the case
  std::vector<std::string> options;  // -o lines
  std::string host;
  std::vector<std::string> expected;  // words of rendered(); or, with `error`, parts of the message
  std::vector<std::string> absent = {};
  bool error = false;
};

TEST(FRXSSHConfig, ResolvesAsOpenSSHDoes) {
  char pattern[] = "/tmp/ferrix-sshconfig-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string home = pattern;
  std::filesystem::create_directories(home + "/.ssh/conf.d");
  writeFile(home + "/.ssh/conf.d/a.conf", "Host inc\n  HostName included.test\nHost *\n  Port 2200\n");
  FRXSSHConfig noFiles;
  noFiles.setConfigFile("none");
  const std::string login = noFiles.settingsForHost("x")->user;
  ASSERT_FALSE(login.empty());

  const std::vector<Case> cases{
      {"an alias resolves; the first value wins within a file",
       "Host web\n  HostName 127.0.0.1\n  User deploy\n  Port 2022\n  Port 9\nHost *\n  User other\n",
       {}, "web", {"hostname=127.0.0.1 ", "user=deploy ", "port=2022 "}},
      {"an -o option beats every file", "Host web\n  Port 2022\n  User deploy\n", {"Port=3000", "User alice"}, "web",
       {"port=3000 ", "user=alice "}},
      {"without any line: the alias, the login name, port 22, OpenSSH's known-hosts files", "", {}, "plain",
       {"hostname=plain ", "user=" + login + " ", "port=22 ", "known=" + home + "/.ssh/known_hosts ",
        "known=" + home + "/.ssh/known_hosts2 "},
       {"id=", "strict=", "proxy"}},
      {"patterns: * and ? match, case does not matter, ! excludes",
       "Host *.EXAMPLE.test !bad.example.test\n  User star\nHost w?b\n  Port 1234\n", {}, "Web.example.test",
       {"user=star "}},
      {"a negated pattern wins over a match", "Host *.example.test !bad.example.test\n  User star\n", {},
       "bad.example.test", {"user=" + login + " "}},
      {"? stands for exactly one character", "Host w?b\n  Port 1234\n", {}, "weeb", {"port=22 "}},
      {"lines before any Host apply to every host; Host lines take several patterns",
       "Port 1000\nHost a b c\n  User abc\n", {}, "b", {"port=1000 ", "user=abc "}},
      {"IdentityFile lines add up, with ~ and tokens",
       "Host k\n  HostName real.test\n  User bob\n  IdentityFile ~/.ssh/id_%h_%r\n  IdentityFile %d/k-%n-%u\n"
       "  IdentitiesOnly yes\n",
       {}, "k",
       {"id=" + home + "/.ssh/id_real.test_bob ", "id=" + home + "/k-k-" + login + " ", "identitiesonly"}},
      {"HostName takes %h; %% is a percent", "Host h\n  HostName %h.inside%%\n", {}, "h", {"hostname=h.inside% "}},
      {"known hosts, strict checking, timeouts, keepalives",
       "Host t\n  UserKnownHostsFile ~/kh1 /abs/kh2\n  StrictHostKeyChecking accept-new\n  ConnectTimeout 7\n"
       "  ServerAliveInterval 15\n  ServerAliveCountMax 4\n",
       {}, "t",
       {"known=" + home + "/kh1 ", "known=/abs/kh2 ", "strict=accept-new ", "connecttimeout=7 ", "alive=15 ",
        "alivemax=4 "},
       {"known_hosts"}},
      {"StrictHostKeyChecking off is no; keywords and = are read either way",
       "Host t\n  stricthostkeychecking=off\n", {}, "t", {"strict=no "}},
      {"ProxyCommand keeps its line verbatim, tokens expanded; it shuts out a later ProxyJump",
       "Host p\n  HostName inner.test\n  ProxyCommand nc -q0 \"%h\" %p # not a comment\n  ProxyJump jump\n", {}, "p",
       {"proxycommand=[nc -q0 \"inner.test\" 22 # not a comment] "}, {"proxyjump"}},
      {"ProxyJump first shuts out ProxyCommand", "Host p\n  ProxyJump me@jump:2222,second\n  ProxyCommand nc %h %p\n",
       {}, "p", {"proxyjump=me@jump:2222,second "}, {"proxycommand"}},
      {"ProxyJump none set first leaves no proxy at all", "Host p\n  ProxyJump none\nHost *\n  ProxyJump jump\n", {},
       "p", {"port=22 "}, {"proxy"}},
      {"Include reads files relative to ~/.ssh, in a block that applies",
       "Host inc\n  Include conf.d/*.conf\n  User afterwards\n", {}, "inc",
       {"hostname=included.test ", "port=2200 ", "user=afterwards "}},
      {"Include inside a block that does not apply applies nothing", "Host other\n  Include conf.d/*.conf\n", {}, "inc",
       {"hostname=inc ", "port=22 "}},
      {"a missing Include is no error", "Include nothing-here-*.conf\nPort 5\n", {}, "x", {"port=5 "}},
      {"Match is refused, naming the file and line", "Host a\n  Port 1\nMatch host a\n  Port 2\n", {}, "a",
       {home + "/.ssh/config line 3", "Match blocks are not supported"}, {}, true},
      {"a bad value names the file and line", "Host a\n\n  Port 70000\n", {}, "a",
       {"line 3", "bad Port 70000"}, {}, true},
      {"an unknown token is an error", "Host a\n  IdentityFile ~/.ssh/%Z\n", {}, "a",
       {"IdentityFile", "unknown token %Z"}, {}, true},
      {"keywords ferrix does not use are passed over", "Host a\n  ForwardAgent yes\n  Compression yes\n  Port 44\n", {},
       "a", {"port=44 "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(home + "/.ssh/config", c.config);
    FRXSSHConfig config;
    config.setHomeDirectory(home);
    config.setConfigFile(home + "/.ssh/config");
    for (const std::string& option : c.options) ASSERT_TRUE(config.addOption(option));
    FRXError error;
    const auto settings = config.settingsForHost(c.host, &error);
    const std::string text = settings ? rendered(*settings) : error.localizedDescription;
    EXPECT_EQ(settings.has_value(), !c.error) << text;
    for (const std::string& word : c.expected) EXPECT_NE(text.find(word), std::string::npos) << word << " in " << text;
    for (const std::string& word : c.absent) EXPECT_EQ(text.find(word), std::string::npos) << word << " in " << text;
  }
  std::filesystem::remove_all(home);
}

TEST(FRXSSHConfig, BadOptionsAndMissingFiles) {
  FRXSSHConfig config;
  FRXError error;
  for (const char* bad : {"Port", "Port=abc", "StrictHostKeyChecking=maybe", "Host=x", "Match all", "=3"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(config.addOption(bad, &error));
    EXPECT_FALSE(error.localizedDescription.empty());
  }
  // A file named with -F must exist; the default files need not.
  config.setConfigFile("/nonexistent/ferrix-config");
  EXPECT_FALSE(config.settingsForHost("x", &error));
  EXPECT_NE(error.localizedDescription.find("/nonexistent/ferrix-config"), std::string::npos);
  FRXSSHConfig defaults;
  defaults.setHomeDirectory("/nonexistent");
  EXPECT_TRUE(defaults.settingsForHost("x"));
}

}  // namespace
