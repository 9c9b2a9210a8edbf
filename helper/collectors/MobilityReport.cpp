// The mobility report: the tool names its report in the last line of its output; the report is moved
// into the client's directory and given to the client's user.
#include <syslog.h>

#include <string>

#include "Utility/SystemRoot.h"
#include "helper/ZEBPrivilegedDaemon.h"
#include "helper/collectors/CollectorSupport.h"
#include "helper/collectors/CollectorText.h"
#include "platform/foundation/Log.h"

using namespace zeb;
using namespace zeb::collectors;

namespace {

constexpr const char* kMobilityTool =
    "/System/Library/Frameworks/SystemConfiguration.framework/Versions/A/Resources/get-mobility-info";
constexpr const char* kMobilityDomain = "com.orvel.tessel.zeb.privileged.mobility";

Error mobilityFailedWithStatus(int status) {
  return Error::withDescription(kMobilityDomain, 100, "mobility report failed with status: " + std::to_string(status));
}

}  // namespace

void ZEBPrivilegedDaemon::runMobilityReportWithDestination(const URL& destination) {
  Result<SharedPlace> place = openDestination(*this, destination);
  if (!place) {
    if (auto c = client()) c->mobilityReportDidFinish(std::nullopt, place.error());
    return;
  }
  Status launched = runCommand(SystemRoot::resolve(kMobilityTool), {}, [this, place = place.value()](Task& task) {
    ZEBResult result;
    ZEBOptionalError error;
    if (task.terminationStatus() != 0) {
      error = mobilityFailedWithStatus(task.terminationStatus());
    } else {
      const std::string_view out = outputText(task.standardOutputData());
      const std::string_view err = outputText(task.standardErrorData());
      const std::string_view lastLine = lastLineWithContent(out);
      if (const auto reportPath = mobilityReportPath(lastLine)) {
        Error moveError;
        if (auto moved = moveIntoPlace(*place, *reportPath, &moveError)) {
          result = Dictionary{{"filePath", Value(*moved)}};
        } else {
          error = std::move(moveError);
        }
      } else {
        systemLog(LOG_NOTICE, "Couldn't find location of generated file.\nlast line: %s\nstdout: \n%s\n\nstderr:\n%s",
                  std::string(lastLine).c_str(), std::string(out).c_str(), std::string(err).c_str());
        error = Error::withDescription(kMobilityDomain, 101,
                                       "failed to find location of generated file. Last line: " + std::string(lastLine));
      }
    }
    if (auto c = client()) c->mobilityReportDidFinish(result, error);
  });
  if (!launched) {
    if (auto c = client()) c->mobilityReportDidFinish(std::nullopt, mobilityFailedWithStatus(launchFailureStatus(launched.error())));
  }
}
