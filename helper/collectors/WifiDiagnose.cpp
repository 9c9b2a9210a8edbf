// Wi-Fi diagnostics in two generations: the legacy tool announces its report on standard error and
// the report is moved into the client's directory; the newer tool writes into a private place of
// root's (from build 13A483 on), whence the report is published into the client's directory, or
// leaves its report on the console user's Desktop, whence it is moved.
#include <string>

#include "Utility/SystemRoot.h"
#include "Utility/ZEBUtilities.h"
#include "helper/collectors/CollectorSupport.h"
#include "helper/collectors/Collectors.h"
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

namespace {

void runLegacyWifiDiagnose(ZEBCollectorHost& daemon, ZEBRequest request, SharedPlace place) {
  runTool(daemon, std::move(request), SystemRoot::resolve(kLegacyWifiTool), {"-tests", "fast"}, nullptr,
          wifiFailedWithStatus, [place](ZEBRequest& ended, Task& task) {
            if (task.terminationStatus() != 0)
              return ended.finish(std::nullopt, wifiFailedWithStatus(task.terminationStatus()));
            // The report is named in the first line; an answer without it quotes the last.
            const std::string head = boundedOutput(task.standardError(), OutputEnd::kHead);
            const auto reportPath = legacyWifiReportPath(outputText(head));
            if (!reportPath) {
              const std::string tail = boundedOutput(task.standardError(), OutputEnd::kTail);
              return ended.finish(std::nullopt,
                                    Error::withDescription(kWifiDomain, 101,
                                                           "wifidiagnose failed to locate output from stderr: " +
                                                               quotedOutput(outputText(tail))));
            }
            Result<files::Published> moved = moveReport(*place, *reportPath);
            if (!moved) return ended.finish(std::nullopt, moved.error());
            ended.finish(Dictionary{{"filePath", Value(moved->path)}}, std::nullopt);
          });
}

void runWdutilDiagnose(ZEBCollectorHost& daemon, ZEBRequest request, SharedPlace place) {
  // A build that can't be read compares as equal to the first build that writes where it is told.
  const std::string build = ZEBUtilities::currentSystemBuild().value_or(kFirstBuildWritingToDestination);
  const bool writesToDestination =
      ZEBUtilities::compareBuildString(build, kFirstBuildWritingToDestination) != ComparisonResult::kOrderedAscending;
  std::vector<std::string> arguments = {"diagnose"};
  ZEBCollectorHost::TaskSetup setup;
  std::string desktop;
  SharedWork work;
  if (writesToDestination) {
    Result<SharedWork> made = openWorkPlace();
    if (!made) return request.finish(std::nullopt, reportNotLocated());
    work = made.value();
    arguments.push_back("-f");
    arguments.push_back(work->place.pinnedPath());
    setup = inheritWork(work);
  } else {
    // Older tools leave the report on the console user's Desktop. Without a console user there is
    // no such folder, and nothing the tool made could be found: answer now rather than run it.
    const auto consoleUser = consoleUserName(daemon.options());
    const auto account = consoleUser ? userNamed(*consoleUser) : std::nullopt;
    if (!account) return request.finish(std::nullopt, reportNotLocated());
    desktop = account->home + "/Desktop";
  }
  const Date start = now();
  runTool(daemon, std::move(request), SystemRoot::resolve(kWdutilTool), std::move(arguments), std::move(setup),
          wifiFailedWithStatus, [place, work, start, writesToDestination, desktop](ZEBRequest& ended, Task& task) {
            if (task.terminationStatus() != 0)
              return ended.finish(std::nullopt, wifiFailedWithStatus(task.terminationStatus()));
            Result<Regex> pattern = Regex::compile(kWdutilReportPattern, true);
            if (!pattern) return ended.finish(std::nullopt, pattern.error());
            ZEBResult result;
            if (writesToDestination) {
              Result<std::optional<std::string>> name = newestEntry(*place, work->directory, start, pattern.value());
              if (!name) return ended.finish(std::nullopt, name.error());
              if (*name) {
                if (Result<files::Published> published = placementFor(*place).publishEntry(place->directory, *work, **name);
                    published) {
                  result = Dictionary{{"filePath", Value(published->path)}};
                }
              }
            } else if (Result<SharedPlace> folder = openClientDirectory(desktop, place->client); folder) {
              Result<std::optional<std::string>> name = newestEntry(*place, folder.value()->directory, start, pattern.value());
              if (!name) return ended.finish(std::nullopt, name.error());
              if (*name) {
                if (Result<files::Published> moved = moveReport(*place, folder.value()->directory.pathOf(**name)); moved) {
                  result = Dictionary{{"filePath", Value(moved->path)}};
                }
              }
            }
            if (!result) return ended.finish(std::nullopt, reportNotLocated());
            ended.finish(result, std::nullopt);
          });
}

}  // namespace

void zeb::collectors::runWifiDiagnose(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination) {
  Result<SharedPlace> place = openDestination(request.from, destination);
  if (!place) return request.finish(std::nullopt, place.error());
  const std::int32_t version = ZEBUtilities::currentSystemVersion();
  if (version < 9 && version != -1 && version != kUnknownSystemVersion) {
    runLegacyWifiDiagnose(daemon, std::move(request), place.value());
  } else {
    runWdutilDiagnose(daemon, std::move(request), place.value());
  }
}
