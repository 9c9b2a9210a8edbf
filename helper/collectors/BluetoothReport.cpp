// The Bluetooth report: the tool runs with the named user's home as its only environment and leaves
// its archive on that user's Desktop, whence it is moved into the client's directory.
#include <syslog.h>

#include <string>

#include "Utility/SystemRoot.h"
#include "helper/collectors/CollectorSupport.h"
#include "helper/collectors/Collectors.h"
#include "helper/files/PathPolicy.h"
#include "helper/files/LogText.h"
#include "platform/foundation/Log.h"

using namespace zeb;
using namespace zeb::collectors;

namespace {

constexpr const char* kBluetoothTool =
    "/System/Library/Frameworks/IOBluetooth.framework/Versions/A/Resources/BluetoothReporter";
constexpr const char* kBluetoothDomain = "com.orvel.tessel.zeb.privileged.bluetooth";
constexpr const char* kReportPattern = "^BluetoothReporter.*\\.zip$";

Error bluetoothFailedWithStatus(int status) {
  return Error::withDescription(kBluetoothDomain, 100, "BluetoothReporter failed with status " + std::to_string(status));
}

}  // namespace

void zeb::collectors::runBluetoothDiagnose(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination,
                                           const std::string& shortUserName) {
  Result<SharedPlace> place = openDestination(request.from, destination);
  if (!place) return request.finish(std::nullopt, place.error());
  const auto account = userNamed(shortUserName);
  if (!account) {
    return request.finish(std::nullopt, Error::withDescription(kBluetoothDomain, 101,
                                                               "Couldn't find home directory for " + shortUserName));
  }
  const std::string desktop = account->home + "/Desktop";
  // The report is taken out of this user's Desktop and handed to the requester: only the
  // requester's own Desktop, unless the requester is root.
  if (!request.from.isRoot() && request.from.uid != account->uid) {
    systemLog(LOG_NOTICE, "Refusing the Desktop of %s to %s", files::printableText(shortUserName).c_str(),
              request.from.description().c_str());
    return request.finish(std::nullopt, files::accessDeniedErrorForPath(desktop));
  }
  const Date start = now();

  const std::string home = account->home;
  ZEBCollectorHost::TaskSetup setup = [home](Task& task) {
    Task::Environment environment = task.environment().value_or(Task::Environment{});
    environment["HOME"] = home;
    task.setEnvironment(std::move(environment));
  };
  runTool(daemon, std::move(request), SystemRoot::resolve(kBluetoothTool), {}, std::move(setup),
          bluetoothFailedWithStatus, [place = place.value(), start, desktop](ZEBRequest& ended, Task& task) {
            if (task.terminationStatus() != 0) {
              systemLog(LOG_NOTICE, "Bluetooth reporter error");
              return ended.finish(std::nullopt, bluetoothFailedWithStatus(task.terminationStatus()));
            }
            Result<Regex> pattern = Regex::compile(kReportPattern, true);
            if (!pattern) return ended.finish(std::nullopt, pattern.error());
            Result<std::optional<std::string>> found = std::optional<std::string>();
            Result<SharedPlace> folder = openClientDirectory(desktop, place->client);
            if (folder) found = newestEntry(*place, folder.value()->directory, start, pattern.value());
            if (!found) return ended.finish(std::nullopt, found.error());
            if (!*found) {
              return ended.finish(std::nullopt,
                                    Error::withDescription(kBluetoothDomain, 102, "Couldnt locate generated report"));
            }
            Result<files::Published> moved = moveReport(*place, folder.value()->directory.pathOf(**found));
            if (!moved) return ended.finish(std::nullopt, moved.error());
            ended.finish(Dictionary{{"filePath", Value(moved->path)}}, std::nullopt);
          });
}
