// Time Machine diagnostics: the tool writes into the client's directory (through the pinned path);
// the newest report made since the start is given to the client's user where it lies.
#include <string>

#include "Utility/SystemRoot.h"
#include "helper/ZEBPrivilegedDaemon.h"
#include "helper/collectors/CollectorSupport.h"

using namespace zeb;
using namespace zeb::collectors;

namespace {

constexpr const char* kTMDiagnoseTool = "/usr/bin/tmdiagnose";
constexpr const char* kTMDiagnoseDomain = "com.orvel.tessel.zeb.privileged.tmdiagnose";
// Anchored at the end only.
constexpr const char* kReportPattern = "\\.(tmdiagnostic|tmdiagnose)(\\.zip)?$";

Error tmdiagnoseFailedWithStatus(int status) {
  return Error::withDescription(kTMDiagnoseDomain, 100, "tmdiagnose failed with status: " + std::to_string(status));
}

}  // namespace

void ZEBPrivilegedDaemon::runTMDiagnoseWithDestination(const URL& destination) {
  Result<SharedPlace> place = openDestination(*this, destination);
  if (!place) {
    if (auto c = client()) c->TMDiagnoseDidFinish(std::nullopt, place.error());
    return;
  }
  std::vector<std::string> arguments = {"-w", "-r", "-f", place.value()->directory.pinnedPath()};
  const Date start = now();
  Status launched = runCommand(
      SystemRoot::resolve(kTMDiagnoseTool), std::move(arguments), inheritPlace(place.value()),
      [this, place = place.value(), start](Task& task) {
        ZEBResult result;
        ZEBOptionalError error;
        if (task.terminationStatus() != 0) {
          error = tmdiagnoseFailedWithStatus(task.terminationStatus());
        } else if (Result<Regex> pattern = Regex::compile(kReportPattern, true); !pattern) {
          error = pattern.error();
        } else if (auto name = newestEntry(*place, start, pattern.value())) {
          (void)giveEntryToClient(*place, *name, /*recursively=*/true);
          result = Dictionary{{"filePath", Value(place->directory.pathOf(*name))}};
        } else {
          error = Error::withDescription(kTMDiagnoseDomain, 101, "Couldn't find generated report");
        }
        if (auto c = client()) c->TMDiagnoseDidFinish(result, error);
      });
  if (!launched) {
    if (auto c = client()) c->TMDiagnoseDidFinish(std::nullopt, tmdiagnoseFailedWithStatus(launchFailureStatus(launched.error())));
  }
}
