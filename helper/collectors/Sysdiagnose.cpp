// Sysdiagnose: the tool writes its archive into the client's directory (through the pinned path);
// the newest archive made since the start is given to the client's user where it lies.
#include <string>

#include "Utility/SystemRoot.h"
#include "Utility/ZEBUtilities.h"
#include "helper/ZEBPrivilegedDaemon.h"
#include "helper/collectors/CollectorSupport.h"

using namespace zeb;
using namespace zeb::collectors;

namespace {

constexpr const char* kSysdiagnoseTool = "/usr/bin/sysdiagnose";
constexpr const char* kSysdiagnoseDomain = "com.orvel.tessel.zeb.privileged.sysdiagnose";
constexpr const char* kArchivePattern = "^sysdiagnose.*\\.tar\\.gz$";

Error sysdiagnoseFailedWithStatus(int status) {
  return Error::withDescription(kSysdiagnoseDomain, 100, "sysdiagnose failed with status: " + std::to_string(status));
}

}  // namespace

void ZEBPrivilegedDaemon::runSysdiagnoseWithDestination(const URL& destination) {
  Result<SharedPlace> place = openDestination(*this, destination);
  if (!place) {
    if (auto c = client()) c->sysDiagnoseDidFinish(std::nullopt, place.error());
    return;
  }
  // Releases before 10.9 take "-w"; 10.9, later ones and those we can't tell take "-b".
  const std::int32_t version = ZEBUtilities::currentSystemVersion();
  const bool modern = version >= 9 || version == -1 || version == kUnknownSystemVersion;
  std::vector<std::string> arguments = {modern ? "-b" : "-w", "-f", place.value()->directory.pinnedPath()};
  const Date start = now();

  Status launched = runCommand(
      SystemRoot::resolve(kSysdiagnoseTool), std::move(arguments), inheritPlace(place.value()),
      [this, place = place.value(), start](Task& task) {
        ZEBResult result;
        ZEBOptionalError error;
        if (task.terminationStatus() != 0) {
          error = sysdiagnoseFailedWithStatus(task.terminationStatus());
        } else if (Result<Regex> pattern = Regex::compile(kArchivePattern, true); !pattern) {
          error = pattern.error();
        } else if (auto name = newestEntry(*place, start, pattern.value())) {
          const std::string path = place->directory.pathOf(*name);
          result = Dictionary{{"filePath", Value(path)}};
          if (!giveEntryToClient(*place, *name, /*recursively=*/true)) {
            error = Error::withDescription(kSysdiagnoseDomain, 101,
                                           "failed to change permissions of sysdiagnose at " +
                                               URL::fileURLWithPath(path).absoluteString());
          }
        } else {
          // The domain's 101 is taken by the permissions failure; a missing archive is 102, as for
          // the other collectors that search.
          error = Error::withDescription(kSysdiagnoseDomain, 102, "Couldn't find generated report");
        }
        if (auto c = client()) c->sysDiagnoseDidFinish(result, error);
      });
  if (!launched) {
    if (auto c = client()) c->sysDiagnoseDidFinish(std::nullopt, sysdiagnoseFailedWithStatus(launchFailureStatus(launched.error())));
  }
}
