// The Bluetooth report: the tool runs with the named user's home as its only environment and leaves
// its archive on that user's Desktop, whence it is moved into the client's directory.
#include <syslog.h>

#include <string>

#include "Utility/SystemRoot.h"
#include "helper/ZEBPrivilegedDaemon.h"
#include "helper/collectors/CollectorSupport.h"
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

void ZEBPrivilegedDaemon::runBluetoothDiagnoseWithDestination(const URL& destination, const std::string& shortUserName) {
  Result<SharedPlace> place = openDestination(*this, destination);
  if (!place) {
    if (auto c = client()) c->bluetoothDiagnoseDidFinish(std::nullopt, place.error());
    return;
  }
  const auto account = userNamed(shortUserName);
  if (!account) {
    if (auto c = client()) {
      c->bluetoothDiagnoseDidFinish(std::nullopt, Error::withDescription(kBluetoothDomain, 101,
                                                                         "Couldn't find home directory for " + shortUserName));
    }
    return;
  }
  const std::string desktop = account->home + "/Desktop";
  // The report is taken out of this user's Desktop and handed to the client: only the client's own
  // Desktop, unless the client is root.
  const uid_t clientUid = place.value()->client;
  if (clientUid != 0 && clientUid != account->uid) {
    systemLog(LOG_NOTICE, "Refusing the Desktop of %s to uid %u", files::printableText(shortUserName).c_str(),
              static_cast<unsigned>(clientUid));
    if (auto c = client()) c->bluetoothDiagnoseDidFinish(std::nullopt, accessDeniedErrorForPath(desktop));
    return;
  }
  const Date start = now();

  const std::string home = account->home;
  TaskSetup setup = [home](Task& task) {
    Task::Environment environment = task.environment().value_or(Task::Environment{});
    environment["HOME"] = home;
    task.setEnvironment(std::move(environment));
  };
  Status launched = runCommand(
      SystemRoot::resolve(kBluetoothTool), {}, std::move(setup), [this, place = place.value(), start, desktop](Task& task) {
        ZEBResult result;
        ZEBOptionalError error;
        if (task.terminationStatus() != 0) {
          systemLog(LOG_NOTICE, "Bluetooth reporter error");
          error = bluetoothFailedWithStatus(task.terminationStatus());
        } else if (Result<Regex> pattern = Regex::compile(kReportPattern, true); !pattern) {
          error = pattern.error();
        } else {
          std::optional<std::string> found;
          Result<SharedPlace> folder = openClientDirectory(desktop, place->client);
          if (folder) found = newestEntry(*folder.value(), start, pattern.value());
          if (!found) {
            error = Error::withDescription(kBluetoothDomain, 102, "Couldnt locate generated report");
          } else {
            Error moveError;
            if (auto moved = moveIntoPlace(*place, folder.value()->directory.pathOf(*found), &moveError)) {
              result = Dictionary{{"filePath", Value(*moved)}};
            } else {
              error = std::move(moveError);
            }
          }
        }
        if (auto c = client()) c->bluetoothDiagnoseDidFinish(result, error);
      });
  if (!launched) {
    if (auto c = client()) {
      c->bluetoothDiagnoseDidFinish(std::nullopt, bluetoothFailedWithStatus(launchFailureStatus(launched.error())));
    }
  }
}
