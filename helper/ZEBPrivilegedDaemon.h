// The privileged helper: the listener's delegate, admission of clients by code signature, the
// exported object of every admitted connection, and the runner of the tools it starts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "helper/AtomicProperty.h"
#include "helper/ZEBPrivilegedProtocols.h"
#include "helper/files/FilePlacement.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Regex.h"
#include "platform/task/Task.h"
#include "platform/xpc/Listener.h"

// The launched tools that have not yet ended; its mutex guards it.
struct ZEBRunningTasks {
  std::mutex lock;
  std::set<std::shared_ptr<zeb::Task>> tasks;
};

inline constexpr const char* kZEBHelperVersion = "0.84";
inline constexpr const char* kZEBServiceName = "com.orvel.tessel.zeb.privileged";

class ZEBPrivilegedDaemon final : public zeb::xpc::ListenerDelegate, public ZEBPrivilegedDaemonProtocol {
 public:
  struct Options {
    std::string anchorsDirectory = "/etc/com.orvel.tessel.zeb.privileged/anchors";
    std::optional<std::string> consoleUser;
  };

  explicit ZEBPrivilegedDaemon(Options options);

  // The three properties.
  std::shared_ptr<zeb::xpc::Connection> connection() const { return connection_.get(); }
  std::shared_ptr<ZEBPrivilegedClientProxy> client() const { return client_.get(); }
  std::shared_ptr<ZEBRunningTasks> runningTasks() const { return runningTasks_.get(); }

  // Admission.
  bool shouldAcceptNewConnection(zeb::xpc::Listener& listener,
                                 const std::shared_ptr<zeb::xpc::Connection>& connection) override;
  // The single entry of SMAuthorizedClients in the embedded info dictionary, read anew each time.
  static std::optional<std::string> authorizedClientReq();

  // Requests.
  void performReadyCheck() override;
  void showPrivileges() override;
  [[noreturn]] void stopDaemon() override;
  void runMobilityReportWithDestination(const zeb::URL& destination) override;
  void runSysdiagnoseWithDestination(const zeb::URL& destination) override;
  void runWifiDiagnoseWithDestination(const zeb::URL& destination) override;
  void runBluetoothDiagnoseWithDestination(const zeb::URL& destination, const std::string& shortUserName) override;
  void runTMDiagnoseWithDestination(const zeb::URL& destination) override;
  void runMDSDiagnoseWithDestination(const zeb::URL& destination) override;
  void sampleProcessWithPID(std::uint64_t pid, const zeb::URL& destination) override;
  void gatherSyslogsWithDestination(const zeb::URL& destination) override;
  void gatherInstallLogsWithDestination(const zeb::URL& destination) override;
  void copyLogFiles(const zeb::Dictionary& files) override;

  // The task runner. The callback runs on the tool's own thread once it has ended and left the
  // registry. A tool that can't be launched leaves the registry again and its callback never runs:
  // the caller answers the client from the returned error.
  using TaskSetup = std::function<void(zeb::Task&)>;
  using TaskCallback = std::function<void(zeb::Task&)>;
  [[nodiscard]] zeb::Status runCommand(const std::string& command, std::vector<std::string> arguments,
                                       TaskCallback callback);
  [[nodiscard]] zeb::Status runCommand(const std::string& command, std::vector<std::string> arguments,
                                       TaskSetup setup, TaskCallback callback);
  void terminateRunningTasks();

  // Path policy.
  bool canModifyPath(std::string_view path) const;
  zeb::Error accessDeniedErrorForPath(std::string_view path) const;

  // File placement; the client's user is the current connection's effective user at each call.
  std::optional<std::string> movePath(std::string_view source, std::string_view toDirectory, std::int16_t permissions,
                                      zeb::Error* error = nullptr) const;
  bool fixPermissionsOfURL(const zeb::URL& url, bool recursively) const;
  std::vector<zeb::URL> findEntriesInDirectory(const zeb::URL& directory, zeb::Date createdAfter,
                                               const zeb::Regex& pattern) const;
  // The effective uid of the current connection's peer (kNoUser without one).
  uid_t clientUser() const;
  const zeb::files::FilePlacement& placement() const { return placement_; }

  const Options& options() const { return options_; }

 private:
  // The two forms of the Wi-Fi diagnosis: the legacy tool before 10.9, the newer one from then on.
  void runLegacyWifiDiagnoseWithDestination(const zeb::URL& destination);
  void runWdutilDiagnoseWithDestination(const zeb::URL& destination);

  // Log gathering. A family is one of the two gathering requests' sets of constants.
  struct LogFamily;
  void gatherLogFamily(const LogFamily& family, const zeb::URL& destination);
  // Copies every file into the working folder `toArchive`, then packs it into the archive beside it
  // (its path plus ".zip"): true when both worked.
  bool gatherAndCompressFiles(const std::vector<std::string>& files, const std::string& toArchive) const;

  Options options_;
  std::shared_ptr<zeb::xpc::Interface> exportedInterface_;
  AtomicProperty<zeb::xpc::Connection> connection_;
  AtomicProperty<ZEBPrivilegedClientProxy> client_;
  AtomicProperty<ZEBRunningTasks> runningTasks_;
  zeb::files::FilePlacement placement_;
};
