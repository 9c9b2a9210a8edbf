// The collectors whose tool writes its report into a folder it is given: sysdiagnose, Time Machine
// and Spotlight. The tool gets a private place of root's, never the client's folder; once it ends,
// the newest report made there since the start is given to the requester's user and published into
// the client's folder. They differ only in the rows below.
#include <string>
#include <vector>

#include "Utility/SystemRoot.h"
#include "Utility/ZEBUtilities.h"
#include "helper/collectors/CollectorSupport.h"
#include "helper/collectors/Collectors.h"

namespace zeb::collectors {
namespace {

struct SearchingCollector {
  const char* tool;
  const char* domain;
  const char* failedText;  // followed by the tool's status
  const char* reportPattern;
  std::vector<std::string> (*arguments)(const std::string& pinnedDestination);
  // Spotlight's tool may fail and still leave a report: it is looked for all the same.
  bool searchAfterFailure;
  std::int64_t notFoundCode;
  // Sysdiagnose answers a report it could not give to the client with this code; 0: not an error.
  std::int64_t notGivenCode;
};

std::vector<std::string> sysdiagnoseArguments(const std::string& destination) {
  // Releases before 10.9 take "-w"; 10.9, later ones and those we can't tell take "-b".
  const std::int32_t version = ZEBUtilities::currentSystemVersion();
  const bool modern = version >= 9 || version == -1 || version == kUnknownSystemVersion;
  return {modern ? "-b" : "-w", "-f", destination};
}

const SearchingCollector kSysdiagnose = {
    "/usr/bin/sysdiagnose", "com.orvel.tessel.zeb.privileged.sysdiagnose", "sysdiagnose failed with status: ",
    "^sysdiagnose.*\\.tar\\.gz$", sysdiagnoseArguments,
    false,
    // The domain's 101 is taken by the permissions failure; a missing archive is 102.
    102, 101};

const SearchingCollector kTMDiagnose = {
    "/usr/bin/tmdiagnose", "com.orvel.tessel.zeb.privileged.tmdiagnose", "tmdiagnose failed with status: ",
    // Anchored at the end only.
    "\\.(tmdiagnostic|tmdiagnose)(\\.zip)?$",
    [](const std::string& d) { return std::vector<std::string>{"-w", "-r", "-f", d}; }, false, 101, 0};

const SearchingCollector kMDSDiagnose = {
    "/usr/bin/mddiagnose", "com.orvel.tessel.zeb.privileged.mddiagnose", "mddiagnose failed with status: ",
    "\\.mdsdiagnostic$", [](const std::string& d) { return std::vector<std::string>{"-w", "-n", "-f", d}; }, true,
    101, 0};

void runSearchingCollector(const SearchingCollector& c, ZEBCollectorHost& daemon, ZEBRequest request,
                           const URL& destination) {
  Result<SharedPlace> place = openDestination(request.from, destination);
  if (!place) return request.finish(std::nullopt, place.error());
  const auto failed = [&c](int status) {
    return Error::withDescription(c.domain, 100, c.failedText + std::to_string(status));
  };
  Result<SharedWork> work = openWorkPlace();
  if (!work) return request.finish(std::nullopt, work.error());
  const Date start = now();
  runTool(daemon, std::move(request), SystemRoot::resolve(c.tool), c.arguments(work.value()->place.pinnedPath()),
          inheritWork(work.value()), failed,
          [&c, place = place.value(), work = work.value(), start, failed](ZEBRequest& ended, Task& task) {
            ZEBResult result;
            ZEBOptionalError error;
            if (task.terminationStatus() != 0) error = failed(task.terminationStatus());
            if (error && !c.searchAfterFailure) return ended.finish(result, error);
            Result<Regex> pattern = Regex::compile(c.reportPattern, true);
            if (!pattern) return ended.finish(result, pattern.error());
            Result<std::optional<std::string>> found = newestEntry(*place, work->directory, start, pattern.value());
            if (!found) return ended.finish(result, found.error());
            if (!*found) {
              return ended.finish(result,
                                    Error::withDescription(c.domain, c.notFoundCode, "Couldn't find generated report"));
            }
            const std::string& name = **found;
            Result<files::Published> published = placementFor(*place).publishEntry(place->directory, *work, name);
            const auto notGiven = [&](const std::string& path) {
              return Error::withDescription(c.domain, c.notGivenCode,
                                            "failed to change permissions of sysdiagnose at " +
                                                URL::fileURLWithPath(path).absoluteString());
            };
            if (!published) {
              // Nothing reached the client's folder: no path to answer.
              return ended.finish(result, c.notGivenCode != 0 ? notGiven(place->directory.pathOf(name))
                                                              : published.error());
            }
            result = Dictionary{{"filePath", Value(published->path)}};
            if (!published->complete && c.notGivenCode != 0) error = notGiven(published->path);
            ended.finish(result, error);
          });
}

}  // namespace

void runSysdiagnose(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination) {
  runSearchingCollector(kSysdiagnose, daemon, std::move(request), destination);
}

void runTMDiagnose(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination) {
  runSearchingCollector(kTMDiagnose, daemon, std::move(request), destination);
}

void runMDSDiagnose(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination) {
  runSearchingCollector(kMDSDiagnose, daemon, std::move(request), destination);
}

}  // namespace zeb::collectors
