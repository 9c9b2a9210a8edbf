// com.orvel.tessel.zeb.privileged: the privileged helper daemon.
#include <grp.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "helper/ZEBPrivilegedDaemon.h"
#include "helper/files/LogText.h"
#include "helper/files/PrivatePlace.h"
#include "platform/foundation/Log.h"
#include "Utility/SystemRoot.h"
#include "platform/foundation/UserDefaults.h"

namespace {

constexpr const char* kUsage =
    "usage: com.orvel.tessel.zeb.privileged [--socket PATH] [--socket-mode MODE] [--socket-group GROUP]\n"
    "           [--anchors DIR] [--root DIR] [--work-dir DIR] [--console-user NAME] [--log-stderr]\n"
    "           [-LogDebug N]\n"
    "\n"
    "Serves the privileged helper on a Unix socket: the one passed by systemd socket activation,\n"
    "else PATH (default /run/com.orvel.tessel.zeb.privileged.sock).\n"
    "\n"
    "  --socket PATH        socket to bind when not socket-activated (removed again at the end)\n"
    "  --socket-mode MODE   octal mode of the bound socket (default 0666)\n"
    "  --socket-group GROUP group (name or number) of the bound socket; with mode 0660 only\n"
    "                       root and GROUP may connect\n"
    "  --anchors DIR        directory of NAME.pub anchor keys\n"
    "                       (default /etc/com.orvel.tessel.zeb.privileged/anchors)\n"
    "  --root DIR           system root under which the operating system's tools and files are found\n"
    "  --work-dir DIR       root-only folder for the private places tools work in\n"
    "                       (default /var/lib/com.orvel.tessel.zeb.privileged/private)\n"
    "  --console-user NAME  the console user on hosts without a seat\n"
    "  --log-stderr         echo every system log line to standard error\n"
    "  -LogDebug N          threshold of the leveled log (a user default)\n"
    "\n"
    "Limits (user defaults, on the command line or in the preferences file):\n"
    "  -ToolsPerUser N      tools of one requesting user running at once (default 4)\n"
    "  -ToolsTotal N        tools running at once in all (default 16)\n"
    "  -ToolTimeLimit SECS  run time of a tool before its process group is ended (default 3600)\n"
    "  -ConnectionsPerUser N connections one uid may hold open (default 8; 64 in all)\n"
    "\n"
    "For tests:\n"
    "  --send-timeout SECS  how long a callback may wait for the client to read (default 10)\n"
    "  --pidfd-fallback     identify peers as kernels without SO_PEERPIDFD must\n"
    "  --max-connections N  connections open at once (default 64)\n"
    "  --frame-timeout SECS how long a client may take to finish a frame it began (default 30)\n";

struct CommandLine {
  std::string socketPath = "/run/com.orvel.tessel.zeb.privileged.sock";
  std::string systemRoot = "/";
  std::string workDir = zeb::files::kDefaultPrivateBase;
  bool logStderr = false;
  ZEBPrivilegedDaemon::Options daemon;
  zeb::xpc::ListenerOptions listener;
};

bool parse(int argc, char** argv, CommandLine& out) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--socket") { if (!next(out.socketPath)) return false; }
    else if (a == "--socket-mode") {
      char* end = nullptr;
      if (!next(v) || v.empty()) return false;
      const unsigned long mode = std::strtoul(v.c_str(), &end, 8);
      if (*end || mode > 0777) return false;
      out.listener.socketMode = static_cast<mode_t>(mode);
    } else if (a == "--socket-group") {
      if (!next(v) || v.empty()) return false;
      char* end = nullptr;
      const unsigned long gid = std::strtoul(v.c_str(), &end, 10);
      if (!*end) out.listener.socketGroup = static_cast<gid_t>(gid);
      else if (const group* g = ::getgrnam(v.c_str())) out.listener.socketGroup = g->gr_gid;
      else return false;
    }
    else if (a == "--anchors") { if (!next(out.daemon.anchorsDirectory)) return false; }
    else if (a == "--root") { if (!next(out.systemRoot)) return false; }
    else if (a == "--work-dir") { if (!next(out.workDir)) return false; }
    else if (a == "--console-user") { if (!next(v)) return false; out.daemon.consoleUser = v; }
    else if (a == "--log-stderr") out.logStderr = true;
    else if (a == "--pidfd-fallback") out.listener.forcePidfdFallback = true;
    else if (a == "--send-timeout") {
      if (!next(v)) return false;
      const double secs = std::atof(v.c_str());
      if (secs <= 0) return false;
      out.listener.connection.sendTimeout = std::chrono::milliseconds(static_cast<long long>(secs * 1000));
    } else if (a == "--frame-timeout") {
      if (!next(v)) return false;
      const double secs = std::atof(v.c_str());
      if (secs <= 0) return false;
      out.listener.connection.frameTimeout = std::chrono::milliseconds(static_cast<long long>(secs * 1000));
    } else if (a == "--max-connections") {
      if (!next(v) || std::atoi(v.c_str()) <= 0) return false;
      out.listener.maxConnections = std::atoi(v.c_str());
    } else if (a.size() > 1 && a[0] == '-' && a[1] != '-' && i + 1 < argc) {
      ++i;  // a user default of the argument domain
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  CommandLine cl;
  if (!parse(argc, argv, cl)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  zeb::UserDefaults::registerArguments(argc, argv);
  if (const std::int64_t n = zeb::UserDefaults::integerForKey("ConnectionsPerUser"); n > 0)
    cl.listener.maxConnectionsPerUser = static_cast<int>(std::min<std::int64_t>(n, 1 << 20));
  zeb::openSystemLog(cl.logStderr);
  if (auto s = zeb::SystemRoot::set(cl.systemRoot); !s.ok()) {
    std::fprintf(stderr, "bad --root %s: %s\n", cl.systemRoot.c_str(), s.error().localizedDescription().c_str());
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  if (auto s = zeb::files::PrivatePlace::prepareBase(cl.workDir); !s.ok()) {
    zeb::systemLog(LOG_CRIT, "Can't use %s for private places: %s", cl.workDir.c_str(),
                   s.error().localizedDescription().c_str());
    zeb::flushAndExit(1);
  }
  // A signal that ends the daemon (kill, Ctrl-C) first removes the private places of the requests
  // under way, and the socket file it bound. The signals are taken by one thread (tools get a clean
  // mask and default actions at spawn).
  sigset_t ending;
  sigemptyset(&ending);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, sig);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  std::thread([ending] {
    int sig = 0;
    if (sigwait(&ending, &sig) != 0) return;
    zeb::systemLog(LOG_NOTICE, "Ending on signal %d", sig);
    zeb::files::PrivatePlace::removeAll();
    zeb::flushAndExit(128 + sig);
  }).detach();

  // The one daemon object lives as long as the process.
  static ZEBPrivilegedDaemon daemon(cl.daemon, TaskLimits::fromUserDefaults());
  // The connection layer's lines may quote what a peer sent (a selector, a reason): escaped here.
  auto log = [](int priority, const std::string& line) {
    zeb::systemLog(priority, "%s", zeb::files::printableText(line).c_str());
  };
  auto listener = zeb::xpc::Listener::create(cl.socketPath, cl.listener, log);
  if (!listener.ok()) {
    zeb::systemLog(LOG_CRIT, "Can't listen on %s: %s", cl.socketPath.c_str(),
                   listener.error().localizedDescription().c_str());
    zeb::flushAndExit(1);
  }
  (*listener)->setDelegate(&daemon);
  (*listener)->resume();
  zeb::systemLog(LOG_NOTICE, "Listening on %s%s", cl.socketPath.c_str(),
                 (*listener)->activated() ? " (socket activation)" : "");
  // Serve for ever: the process ends only through stopDaemon or an undeliverable callback.
  for (;;) ::pause();
}
