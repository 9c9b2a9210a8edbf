// zebctl: sends one request to the privileged helper and prints the callback that answers it as
// one line of JSON.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ZEB/Client.h"

namespace {

constexpr const char* kUsage =
    "usage: zebctl [--socket PATH] [--timeout SECONDS] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  ready                      ready check: the helper's version\n"
    "  privileges                 the helper's uid, euid and pid\n"
    "  stop                       stop the helper (waits for the connection to close)\n"
    "  mobility DEST              mobility report into directory DEST\n"
    "  sysdiagnose DEST           sysdiagnose archive into DEST\n"
    "  wifi DEST                  Wi-Fi diagnostics into DEST\n"
    "  bluetooth DEST USER        Bluetooth report of USER into DEST\n"
    "  tm DEST                    Time Machine diagnostics into DEST\n"
    "  mds DEST                   Spotlight diagnostics into DEST\n"
    "  sample PID FILE            sample process PID into FILE\n"
    "  syslogs DEST               system log archive into DEST\n"
    "  installlogs DEST           install log archive into DEST\n"
    "  copy SRC=DST [SRC=DST...]  copy named log files\n"
    "\n"
    "Prints the answering callback as {\"callback\": SELECTOR, \"args\": [...]} on standard output;\n"
    "callbacks answering other clients' requests go to standard error as notes.\n"
    "Exit status: 0 answered without error, 1 answered with an error, 2 usage or connection\n"
    "failure (a refused client ends here), 3 no answer within the timeout (default 900 s).\n"
    "A client that leaves before its answer makes the helper exit with status 1 when it answers.\n";

// Prints callbacks; remembers when the one we wait for has come.
class Printer final : public ZEB::Delegate {
 public:
  explicit Printer(std::string awaited) : awaited_(std::move(awaited)) {}

  void didReceive(const ZEB::Answer& answer) override {
    std::lock_guard lock(mutex_);
    if (answer.selector == awaited_ && !status_) {
      std::printf("%s\n", answer.json.c_str());
      std::fflush(stdout);
      status_ = answer.error ? 1 : 0;
      cv_.notify_all();
    } else {
      std::fprintf(stderr, "note: %s\n", answer.json.c_str());
    }
  }

  // The exit status once answered.
  std::optional<int> waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return status_.has_value(); });
    return status_;
  }

 private:
  std::string awaited_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<int> status_;
};

std::optional<std::string> urlArg(const std::string& path) {
  std::string absolute = path;
  if (absolute.empty()) return std::nullopt;
  if (absolute[0] != '/') {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return std::nullopt;
    absolute = std::string(cwd) + "/" + absolute;
  }
  return absolute;
}

int usageError(const char* why) {
  std::fprintf(stderr, "zebctl: %s\n%s", why, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socketPath = ZEB::kDefaultSocketPath;
  double timeoutSeconds = 900;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--socket" && i + 1 < argc) socketPath = argv[++i];
    else if (a == "--timeout" && i + 1 < argc) {
      timeoutSeconds = std::atof(argv[++i]);
      if (timeoutSeconds <= 0) return usageError("bad timeout");
    } else break;
  }
  if (i >= argc) return usageError("no command");
  const std::string command = argv[i++];
  std::vector<std::string> args(argv + i, argv + argc);
  for (const auto& a : args)
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }

  // What each command sends, from the parsed arguments.
  struct Parsed {
    std::string dest;
    std::uint64_t pid = 0;
    std::string user;
    std::map<std::string, std::string> copies;
  };
  using R = ZEB::Request;
  using Client = ZEB::Client;
  struct Command {
    const char* command;
    std::size_t args;  // SIZE_MAX: one or more
    R request;
    ZEB::Status (*send)(Client&, const Parsed&);
  };
  static const Command commands[] = {
      {"ready", 0, R::kPerformReadyCheck, [](Client& c, const Parsed&) { return c.performReadyCheck(); }},
      {"privileges", 0, R::kShowPrivileges, [](Client& c, const Parsed&) { return c.showPrivileges(); }},
      {"stop", 0, R::kStopDaemon, [](Client& c, const Parsed&) { return c.stopDaemon(); }},
      {"mobility", 1, R::kMobilityReport, [](Client& c, const Parsed& p) { return c.runMobilityReportWithDestination(p.dest); }},
      {"sysdiagnose", 1, R::kSysdiagnose, [](Client& c, const Parsed& p) { return c.runSysdiagnoseWithDestination(p.dest); }},
      {"wifi", 1, R::kWifiDiagnose, [](Client& c, const Parsed& p) { return c.runWifiDiagnoseWithDestination(p.dest); }},
      {"bluetooth", 2, R::kBluetoothDiagnose,
       [](Client& c, const Parsed& p) { return c.runBluetoothDiagnoseWithDestination(p.dest, p.user); }},
      {"tm", 1, R::kTMDiagnose, [](Client& c, const Parsed& p) { return c.runTMDiagnoseWithDestination(p.dest); }},
      {"mds", 1, R::kMDSDiagnose, [](Client& c, const Parsed& p) { return c.runMDSDiagnoseWithDestination(p.dest); }},
      {"sample", 2, R::kSampleProcess, [](Client& c, const Parsed& p) { return c.sampleProcessWithPID(p.pid, p.dest); }},
      {"syslogs", 1, R::kSyslogs, [](Client& c, const Parsed& p) { return c.gatherSyslogsWithDestination(p.dest); }},
      {"installlogs", 1, R::kInstallLogs, [](Client& c, const Parsed& p) { return c.gatherInstallLogsWithDestination(p.dest); }},
      {"copy", SIZE_MAX, R::kCopyLogFiles, [](Client& c, const Parsed& p) { return c.copyLogFiles(p.copies); }},
  };
  const Command* chosen = nullptr;
  for (const auto& c : commands)
    if (command == c.command) chosen = &c;
  if (!chosen) return usageError(("unknown command " + command).c_str());
  if (chosen->args == SIZE_MAX ? args.empty() : args.size() != chosen->args) return usageError("wrong number of arguments");

  Parsed parsed;
  if (chosen->args >= 1 && chosen->args != SIZE_MAX && command != "sample") {
    auto dest = urlArg(args[0]);
    if (!dest) return usageError("bad destination");
    parsed.dest = *dest;
    if (command == "bluetooth") parsed.user = args[1];
  }
  if (command == "sample") {
    char* end = nullptr;
    parsed.pid = std::strtoull(args[0].c_str(), &end, 10);
    if (args[0].empty() || *end) return usageError("bad pid");
    auto dest = urlArg(args[1]);
    if (!dest) return usageError("bad destination");
    parsed.dest = *dest;
  }
  if (command == "copy") {
    for (const auto& a : args) {
      const auto eq = a.find('=');
      if (eq == std::string::npos || eq == 0) return usageError("copy takes SRC=DST pairs");
      parsed.copies.insert_or_assign(a.substr(0, eq), a.substr(eq + 1));
    }
  }

  const auto awaited = ZEB::answeringCallback(chosen->request);
  Printer printer(awaited ? ZEB::selectorOf(*awaited) : "");
  ZEB::Client::Options options;
  options.socketPath = socketPath;
  ZEB::Status connected;
  auto conn = ZEB::Client::connect(options, &printer, &connected);
  if (!conn) {
    std::fprintf(stderr, "zebctl: can't connect to %s: %s\n", socketPath.c_str(), connected.message().c_str());
    return 2;
  }
  if (auto sent = chosen->send(*conn, parsed); !sent) {
    std::fprintf(stderr, "zebctl: can't send the request: %s\n", sent.message().c_str());
    return 2;
  }
  const auto timeout = std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
  if (command == "stop") {
    if (conn->waitUntilClosed(timeout)) return 0;
    std::fprintf(stderr, "zebctl: the helper did not stop within %g s\n", timeoutSeconds);
    return 3;
  }
  // A helper that goes away (stopped, killed, crashed) will never answer: don't sit out the timeout.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool closed = false;
  while (!closed && std::chrono::steady_clock::now() < deadline) {
    closed = conn->waitUntilClosed(std::chrono::milliseconds(0));
    // After the close, a last look for an answer that arrived just before it.
    if (auto status = printer.waitFor(closed ? std::chrono::milliseconds(200) : std::chrono::milliseconds(100))) {
      std::fflush(stdout);
      _exit(*status);  // don't tear down under the connection's thread
    }
  }
  if (closed) {
    std::fprintf(stderr, "zebctl: the helper closed the connection without answering\n");
    std::fflush(stderr);
    _exit(2);
  }
  std::fprintf(stderr, "zebctl: no answer within %g s\n", timeoutSeconds);
  std::fflush(stderr);
  _exit(3);
}
