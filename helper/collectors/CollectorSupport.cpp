#include "helper/collectors/CollectorSupport.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "helper/files/LogText.h"
#include "helper/files/Ownership.h"
#include "helper/files/PathPolicy.h"
#include "platform/filesystem/PathWalk.h"
#include "helper/files/Staging.h"
#include "platform/foundation/Log.h"

namespace zeb::collectors {

namespace {

// Enough for any password database entry we will meet; getpw*_r asks for more with ERANGE.
constexpr std::size_t kInitialPasswdBuffer = 1024;
constexpr std::size_t kMaxPasswdBuffer = 1024 * 1024;

template <typename Lookup>
std::optional<UserAccount> lookUpAccount(Lookup lookup) {
  std::vector<char> buffer(kInitialPasswdBuffer);
  while (true) {
    passwd entry{};
    passwd* found = nullptr;
    const int rc = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < kMaxPasswdBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || !found || !found->pw_name) return std::nullopt;
    UserAccount account{found->pw_name, found->pw_uid, found->pw_dir ? found->pw_dir : ""};
    return account;
  }
}

}  // namespace

Result<SharedPlace> openClientDirectory(std::string_view path, uid_t client) {
  Result<files::ClientDirectory> directory = files::ClientDirectory::open(path, client);
  if (!directory) return std::move(directory).takeError();
  return SharedPlace(std::make_shared<const ClientPlace>(ClientPlace{std::move(directory).value(), client}));
}

Result<SharedPlace> openDestination(const ZEBRequester& requester, const URL& destination) {
  const std::string& path = destination.path();
  if (!files::canModifyPath(path)) return files::accessDeniedErrorForPath(path);
  Result<SharedPlace> place = openClientDirectory(path, requester.uid);
  if (!place) {
    systemLog(LOG_NOTICE, "Refusing destination %s for %s: %s", files::printableText(path).c_str(),
              requester.description().c_str(), files::printableText(place.error().localizedDescription()).c_str());
    return files::accessDeniedErrorForPath(path);
  }
  return place;
}

void runTool(ZEBCollectorHost& daemon, ZEBRequest request, const std::string& tool, std::vector<std::string> arguments,
             ZEBCollectorHost::TaskSetup setup, ToolFailure failed, ToolCompletion completion,
             ZEBResult failureResult) {
  const ZEBRequester requester = request.from;
  ZEBSharedRequest shared = share(std::move(request));
  daemon.runCommand(
      requester, tool, std::move(arguments), std::move(setup),
      [shared, completion = std::move(completion)](Task& task) { completion(*shared, task); },
      [shared, failed = std::move(failed), failureResult = std::move(failureResult)](const Error& error) {
        shared->finish(failureResult, failed(launchFailureStatus(error)));
      },
      [shared] { shared->answer.abandon(); });
}

ZEBCollectorHost::TaskSetup inheritWork(SharedWork work) {
  return [work = std::move(work)](Task& task) { task.inheritDescriptor(work->place.fd()); };
}

Result<std::optional<std::string>> newestEntry(const ClientPlace& place, const files::ClientDirectory& directory,
                                               Date start, const Regex& pattern) {
  Result<std::vector<URL>> found =
      placementFor(place).findEntriesInDirectory(URL::fileURLWithPath(directory.resolvedPath()), start, pattern);
  if (!found) return std::move(found).takeError();
  if (found->empty()) return std::optional<std::string>();
  return std::optional<std::string>(found->back().lastPathComponent());
}

std::optional<UserAccount> userNamed(const std::string& name) {
  if (name.empty()) return std::nullopt;
  auto account = lookUpAccount([&](passwd* entry, char* buffer, std::size_t size, passwd** found) {
    return ::getpwnam_r(name.c_str(), entry, buffer, size, found);
  });
  if (!account || account->home.empty()) return std::nullopt;
  return account;
}

std::optional<std::string> consoleUserName(const ZEBCollectorHost::Options& options) {
  if (options.consoleUser) return options.consoleUser;
  char* session = nullptr;
  uid_t uid = 0;
  const int rc = ::sd_seat_get_active("seat0", &session, &uid);
  std::free(session);
  if (rc < 0) return std::nullopt;
  auto account = lookUpAccount([&](passwd* entry, char* buffer, std::size_t size, passwd** found) {
    return ::getpwuid_r(uid, entry, buffer, size, found);
  });
  if (!account) return std::nullopt;
  return account->name;
}

int launchFailureStatus(const Error& launchError) {
  const Value* underlying = lookup(launchError.userInfo(), kUnderlyingErrorKey);
  const Error* cause = underlying ? underlying->asError() : nullptr;
  const std::int64_t code = cause ? cause->code() : launchError.code();
  return code == ENOENT || code == ENOTDIR ? 127 : 126;
}

}  // namespace zeb::collectors
