// Spotlight diagnostics: the tool writes into the client's directory (through the pinned path). A
// failing tool that still left a report answers with the report and its failure together.
#include <string>

#include "Utility/SystemRoot.h"
#include "helper/ZEBPrivilegedDaemon.h"
#include "helper/collectors/CollectorSupport.h"

using namespace zeb;
using namespace zeb::collectors;

namespace {

constexpr const char* kMDDiagnoseTool = "/usr/bin/mddiagnose";
constexpr const char* kMDDiagnoseDomain = "com.orvel.tessel.zeb.privileged.mddiagnose";
constexpr const char* kReportPattern = "\\.mdsdiagnostic$";

Error mddiagnoseFailedWithStatus(int status) {
  return Error::withDescription(kMDDiagnoseDomain, 100, "mddiagnose failed with status: " + std::to_string(status));
}

}  // namespace

void ZEBPrivilegedDaemon::runMDSDiagnoseWithDestination(const URL& destination) {
  Result<SharedPlace> place = openDestination(*this, destination);
  if (!place) {
    if (auto c = client()) c->MDSDiagnoseDidFinish(std::nullopt, place.error());
    return;
  }
  std::vector<std::string> arguments = {"-w", "-n", "-f", place.value()->directory.pinnedPath()};
  const Date start = now();
  Status launched = runCommand(
      SystemRoot::resolve(kMDDiagnoseTool), std::move(arguments), inheritPlace(place.value()),
      [this, place = place.value(), start](Task& task) {
        ZEBResult result;
        ZEBOptionalError error;
        if (task.terminationStatus() != 0) error = mddiagnoseFailedWithStatus(task.terminationStatus());
        std::optional<std::string> name;
        if (Result<Regex> pattern = Regex::compile(kReportPattern, true); !pattern) {
          error = pattern.error();
        } else {
          name = newestEntry(*place, start, pattern.value());
        }
        if (name) {
          (void)giveEntryToClient(*place, *name, /*recursively=*/true);
          result = Dictionary{{"filePath", Value(place->directory.pathOf(*name))}};
        } else {
          error = Error::withDescription(kMDDiagnoseDomain, 101, "Couldn't find generated report");
        }
        if (auto c = client()) c->MDSDiagnoseDidFinish(result, error);
      });
  if (!launched) {
    if (auto c = client()) c->MDSDiagnoseDidFinish(std::nullopt, mddiagnoseFailedWithStatus(launchFailureStatus(launched.error())));
  }
}
