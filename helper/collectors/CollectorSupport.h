// What the collectors share: the client's destination checked, opened and pinned before a tool
// starts; searches through an opened directory; placing a report and giving it to the client's
// user; users, their homes and the console user; the answer for a tool that could not be started.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper/files/ClientDirectory.h"
#include "helper/files/FilePlacement.h"
#include "helper/host/ZEBCollectorHost.h"
#include "helper/host/ZEBRequest.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/URL.h"

namespace zeb::collectors {

// A directory of the client's, opened when the request arrived. `client` is the user it was checked
// for: reports placed in it are given to that user. Shared, since a tool's completion keeps it.
struct ClientPlace {
  files::ClientDirectory directory;
  uid_t client;
};
using SharedPlace = std::shared_ptr<const ClientPlace>;

// The destination directory of a request: refused by the path policy, or not a directory of the
// requester's user (unless that user is root), it answers the access-denied error for its path.
Result<SharedPlace> openDestination(const ZEBRequester& requester, const URL& destination);

// Any other directory the daemon takes a report from (a user's Desktop folder), held to the same
// ownership rule. The error says why it could not be opened.
Result<SharedPlace> openClientDirectory(std::string_view path, uid_t client);

using files::SharedWork;
using files::WorkPlace;
using files::openWorkPlace;

// A setup step that lets the tool write into the work place through its pinned path.
ZEBCollectorHost::TaskSetup inheritWork(SharedWork work);

// The name of the newest entry of `directory` created since `start` (one second of slack) whose
// name matches, if any, searched for the place's user; a directory whose reading fails is an error.
// Logs "Looking in %s for files created after %s with pattern %s".
[[nodiscard]] Result<std::optional<std::string>> newestEntry(const ClientPlace& place,
                                                             const files::ClientDirectory& directory, Date start,
                                                             const Regex& pattern);

// The placement that acts for the place's user.
inline files::FilePlacement placementFor(const ClientPlace& place) { return files::FilePlacement(place.client); }

// A report a tool left somewhere else (the user's Desktop, a path it printed), moved into the place
// and given to its user; what inside could not be given is left out.
[[nodiscard]] inline Result<files::Published> moveReport(const ClientPlace& place, std::string_view source) {
  return placementFor(place).moveItem(source, place.directory, files::FilePlacement::kGiven,
                                      files::Giving::kTakeOutRest);
}

struct UserAccount {
  std::string name;
  uid_t uid = 0;
  std::string home;
};

// The password database's entry; nothing for an unknown user or one without a home directory.
std::optional<UserAccount> userNamed(const std::string& name);

// The user at the console: the daemon's --console-user, else the user of seat0's active session.
std::optional<std::string> consoleUserName(const ZEBCollectorHost::Options& options);

// The status a shell reports for a command it could not start: 127 when it is missing, else 126.
int launchFailureStatus(const Error& launchError);

// Runs a collector's tool for a request, in its sender's tool slots. The completion gets the request
// when the tool has ended; a tool that can't be started answers with `failureResult` and
// `failed(status)` as the error.
using ToolCompletion = std::function<void(ZEBRequest& request, Task& task)>;
using ToolFailure = std::function<Error(int status)>;
void runTool(ZEBCollectorHost& daemon, ZEBRequest request, const std::string& tool, std::vector<std::string> arguments,
             ZEBCollectorHost::TaskSetup setup, ToolFailure failed, ToolCompletion completion,
             ZEBResult failureResult = std::nullopt);

}  // namespace zeb::collectors
