// What collectors and log gathering may ask of the daemon, and no more: run a tool for a requester,
// the daemon's options, and the placement of files for a requester. The daemon implements it; the
// collectors never see the daemon class, its connections or its clients.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "helper/files/FilePlacement.h"
#include "helper/host/ZEBRequest.h"
#include "platform/foundation/Error.h"
#include "platform/task/Task.h"

class ZEBCollectorHost {
 public:
  struct Options {
    std::string anchorsDirectory = "/etc/com.orvel.tessel.zeb.privileged/anchors";
    std::optional<std::string> consoleUser;
  };

  using TaskSetup = std::function<void(zeb::Task&)>;
  using TaskCallback = std::function<void(zeb::Task&)>;
  using TaskLaunchFailure = std::function<void(const zeb::Error&)>;
  using TaskStopped = std::function<void()>;

  virtual ~ZEBCollectorHost() = default;

  // Runs `command` in the requester's tool slots. At most one of the callbacks runs: `callback`
  // once the tool has ended, `failed` when it could not be started, `stopped` when a stop ended it.
  virtual void runCommand(const ZEBRequester& requester, const std::string& command,
                          std::vector<std::string> arguments, TaskSetup setup, TaskCallback callback,
                          TaskLaunchFailure failed, TaskStopped stopped) = 0;

  virtual const Options& options() const = 0;

  // File placement for the user who sent a request.
  virtual zeb::files::FilePlacement placement(const ZEBRequester& requester) const = 0;
};
