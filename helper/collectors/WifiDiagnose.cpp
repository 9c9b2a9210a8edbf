// Wi-Fi diagnostics in two generations: the legacy tool announces its report on standard error and
// the report is moved into the client's directory; the newer tool writes into the client's directory
// (from build 13A483 on) or leaves its report on the console user's Desktop, whence it is moved.
#include <string>

#include "Utility/SystemRoot.h"
#include "Utility/ZEBUtilities.h"
#include "helper/ZEBPrivilegedDaemon.h"
#include "helper/collectors/CollectorSupport.h"
#include "helper/collectors/CollectorText.h"

using namespace zeb;
using namespace zeb::collectors;

namespace {

constexpr const char* kLegacyWifiTool = "/usr/bin/wifidiagnose";
constexpr const char* kWdutilTool = "/usr/bin/wdutil";
constexpr const char* kWifiDomain = "com.orvel.tessel.zeb.privileged.wifidiagnose";
// The dot before "gz" is not escaped: any character may stand there.
constexpr const char* kWdutilReportPattern = "^WirelessDiagnostics-.*\\.tar.gz$";
// The first build whose tool takes "-f" and writes where it is told.
constexpr const char* kFirstBuildWritingToDestination = "13A483";

Error wifiFailedWithStatus(int status) {
  return Error::withDescription(kWifiDomain, 100, "wifidiagnose failed with status: " + std::to_string(status));
}

Error reportNotLocated() { return Error::withDescription(kWifiDomain, 102, "Couldnt locate generated report"); }

}  // namespace

void ZEBPrivilegedDaemon::runWifiDiagnoseWithDestination(const URL& destination) {
  const std::int32_t version = ZEBUtilities::currentSystemVersion();
  if (version < 9 && version != -1 && version != kUnknownSystemVersion) {
    runLegacyWifiDiagnoseWithDestination(destination);
  } else {
    runWdutilDiagnoseWithDestination(destination);
  }
}

void ZEBPrivilegedDaemon::runLegacyWifiDiagnoseWithDestination(const URL& destination) {
  Result<SharedPlace> place = openDestination(*this, destination);
  if (!place) {
    if (auto c = client()) c->wifiDiagnoseDidFinish(std::nullopt, place.error());
    return;
  }
  Status launched =
      runCommand(SystemRoot::resolve(kLegacyWifiTool), {"-tests", "fast"}, [this, place = place.value()](Task& task) {
        ZEBResult result;
        ZEBOptionalError error;
        if (task.terminationStatus() != 0) {
          error = wifiFailedWithStatus(task.terminationStatus());
        } else {
          const std::string_view err = outputText(task.standardErrorData());
          if (const auto reportPath = legacyWifiReportPath(err)) {
            Error moveError;
            if (auto moved = moveIntoPlace(*place, *reportPath, &moveError)) {
              result = Dictionary{{"filePath", Value(*moved)}};
            } else {
              error = std::move(moveError);
            }
          } else {
            error = Error::withDescription(kWifiDomain, 101,
                                           "wifidiagnose failed to locate output from stderr: " + std::string(err));
          }
        }
        if (auto c = client()) c->wifiDiagnoseDidFinish(result, error);
      });
  if (!launched) {
    if (auto c = client()) c->wifiDiagnoseDidFinish(std::nullopt, wifiFailedWithStatus(launchFailureStatus(launched.error())));
  }
}

void ZEBPrivilegedDaemon::runWdutilDiagnoseWithDestination(const URL& destination) {
  Result<SharedPlace> place = openDestination(*this, destination);
  if (!place) {
    if (auto c = client()) c->wifiDiagnoseDidFinish(std::nullopt, place.error());
    return;
  }
  // A build that can't be read compares as equal to the first build that writes where it is told.
  const std::string build = ZEBUtilities::currentSystemBuild().value_or(kFirstBuildWritingToDestination);
  const bool writesToDestination =
      ZEBUtilities::compareBuildString(build, kFirstBuildWritingToDestination) != ComparisonResult::kOrderedAscending;
  std::vector<std::string> arguments = {"diagnose"};
  TaskSetup setup;
  std::string desktop;
  if (writesToDestination) {
    arguments.push_back("-f");
    arguments.push_back(place.value()->directory.pinnedPath());
    setup = inheritPlace(place.value());
  } else {
    // Older tools leave the report on the console user's Desktop. Without a console user there is
    // no such folder, and nothing the tool made could be found: answer now rather than run it.
    const auto consoleUser = consoleUserName(options());
    const auto account = consoleUser ? userNamed(*consoleUser) : std::nullopt;
    if (!account) {
      if (auto c = client()) c->wifiDiagnoseDidFinish(std::nullopt, reportNotLocated());
      return;
    }
    desktop = account->home + "/Desktop";
  }
  const Date start = now();

  Status launched = runCommand(
      SystemRoot::resolve(kWdutilTool), std::move(arguments), std::move(setup),
      [this, place = place.value(), start, writesToDestination, desktop](Task& task) {
        ZEBResult result;
        ZEBOptionalError error;
        Result<Regex> pattern = Regex::compile(kWdutilReportPattern, true);
        if (task.terminationStatus() != 0) {
          error = wifiFailedWithStatus(task.terminationStatus());
        } else if (!pattern) {
          error = pattern.error();
        } else if (writesToDestination) {
          // Left as the tool wrote it.
          if (auto name = newestEntry(*place, start, pattern.value())) {
            result = Dictionary{{"filePath", Value(place->directory.pathOf(*name))}};
          }
        } else if (Result<SharedPlace> folder = openClientDirectory(desktop, place->client); folder) {
          if (auto name = newestEntry(*folder.value(), start, pattern.value())) {
            if (auto moved = moveIntoPlace(*place, folder.value()->directory.pathOf(*name), nullptr)) {
              result = Dictionary{{"filePath", Value(*moved)}};
            }
          }
        }
        if (!result && !error) error = reportNotLocated();
        if (auto c = client()) c->wifiDiagnoseDidFinish(result, error);
      });
  if (!launched) {
    if (auto c = client()) c->wifiDiagnoseDidFinish(std::nullopt, wifiFailedWithStatus(launchFailureStatus(launched.error())));
  }
}
