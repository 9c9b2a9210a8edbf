// Test support: a real daemon process on a temporary socket with a temporary anchor, and signed
// copies of client executables.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zebtest {

std::string buildDir();          // where the daemon, zebctl and zeb-codesign were built
std::string daemonPath();
std::string zebctlPath();
std::string codesignPath();

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// This process's environment with `extraEnv` set over it, as "NAME=value" texts.
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extraEnv);

// Runs a program to its end (killed after `timeout`).
ProcessResult run(const std::vector<std::string>& argv, std::chrono::seconds timeout = std::chrono::seconds(60),
                  const std::map<std::string, std::string>& extraEnv = {});

// Where the daemon looks for two of the tools it runs, below its system root.
constexpr const char* kMobility =
    "/System/Library/Frameworks/SystemConfiguration.framework/Versions/A/Resources/get-mobility-info";
constexpr const char* kBluetooth = "/System/Library/Frameworks/IOBluetooth.framework/Versions/A/Resources/BluetoothReporter";

// A whole file's bytes ("" when unreadable), and the owner of a path itself (-1 when missing).
std::string slurp(const std::string& path);
uid_t ownerOf(const std::string& path);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class DaemonHarness {
 public:
  explicit DaemonHarness(std::vector<std::string> extraArgs = {}, bool start = true);
  ~DaemonHarness();
  DaemonHarness(const DaemonHarness&) = delete;
  DaemonHarness& operator=(const DaemonHarness&) = delete;

  // Set in the daemon's environment from its next start on.
  void setEnvironment(const std::string& name, const std::string& value) { environment_[name] = value; }
  void start();
  const std::string& dir() const { return dir_.path(); }
  std::string socketPath() const { return dir_.path() + "/zeb.sock"; }
  std::string anchorsDir() const { return dir_.path() + "/anchors"; }
  std::string rootDir() const { return dir_.path() + "/root"; }
  // Where the daemon makes the private places its tools work in.
  std::string workDir() const { return dir_.path() + "/private"; }
  pid_t pid() const { return pid_; }

  // A copy of `executable` signed with `key` (a NAME.key path; default: the test anchor "orvel").
  std::string signedCopy(const std::string& executable, const std::string& identifier,
                         const std::string& key = {}, const std::string& name = {});
  std::string keyPath(const std::string& anchor) const;
  // zebctl signed as com.orvel.tessel.VellumDrift.
  const std::string& client();
  ProcessResult zebctl(const std::vector<std::string>& args, std::chrono::seconds timeout = std::chrono::seconds(60));

  std::string log() const;
  // Waits for `needle` in the log written since byte `from` (default: anywhere).
  bool waitForLog(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                  std::size_t from = 0) const;
  // Waits for the daemon to end; its exit status, or nothing while it still runs.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool running();

 private:
  TempDir dir_;
  std::vector<std::string> extraArgs_;
  std::map<std::string, std::string> environment_;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  std::string client_;
  std::mutex clientMutex_;
};

}  // namespace zebtest
