// The mobility report: the tool names its report in the last line of its output; the report is moved
// into the client's directory and given to the client's user.
#include <syslog.h>

#include <string>

#include "Utility/SystemRoot.h"
#include "helper/collectors/CollectorSupport.h"
#include "helper/collectors/Collectors.h"
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

void zeb::collectors::runMobilityReport(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination) {
  Result<SharedPlace> place = openDestination(request.from, destination);
  if (!place) return request.finish(std::nullopt, place.error());
  runTool(daemon, std::move(request), SystemRoot::resolve(kMobilityTool), {}, nullptr, mobilityFailedWithStatus,
          [place = place.value()](ZEBRequest& ended, Task& task) {
            if (task.terminationStatus() != 0)
              return ended.finish(std::nullopt, mobilityFailedWithStatus(task.terminationStatus()));
            const std::string outBytes = boundedOutput(task.standardOutput(), OutputEnd::kTail);
            const std::string errBytes = boundedOutput(task.standardError(), OutputEnd::kTail);
            const std::string_view out = outputText(outBytes);
            const std::string_view err = outputText(errBytes);
            const std::string_view lastLine = lastLineWithContent(out);
            const auto reportPath = mobilityReportPath(lastLine);
            if (!reportPath) {
              systemLog(LOG_NOTICE, "Couldn't find location of generated file.\nlast line: %s\nstdout: \n%s\n\nstderr:\n%s",
                        quotedOutput(lastLine).c_str(), quotedOutput(out).c_str(), quotedOutput(err).c_str());
              return ended.finish(std::nullopt,
                                    Error::withDescription(kMobilityDomain, 101,
                                                           "failed to find location of generated file. Last line: " +
                                                               quotedOutput(lastLine)));
            }
            Result<files::Published> moved = moveReport(*place, *reportPath);
            if (!moved) return ended.finish(std::nullopt, moved.error());
            ended.finish(Dictionary{{"filePath", Value(moved->path)}}, std::nullopt);
          });
}
