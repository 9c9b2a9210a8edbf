#include "helper/collectors/CollectorSupport.h"

#include <dirent.h>
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
#include "helper/files/PathWalk.h"
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

Result<SharedWork> openWorkPlace() {
  Result<files::PrivatePlace> place = files::PrivatePlace::create();
  if (!place) {
    systemLog(LOG_ERR, "Could not make a private place: %s", files::printableText(place.error().localizedDescription()).c_str());
    return std::move(place).takeError();
  }
  Result<files::ClientDirectory> directory = files::ClientDirectory::adopt(place->fd(), place->path());
  if (!directory) return std::move(directory).takeError();
  return SharedWork(std::make_shared<const WorkPlace>(WorkPlace{std::move(place).value(), std::move(directory).value()}));
}

ZEBCollectorHost::TaskSetup inheritWork(SharedWork work) {
  return [work = std::move(work)](Task& task) { task.inheritDescriptor(work->place.fd()); };
}

std::optional<std::string> newestEntry(const files::ClientDirectory& directory, Date start, const Regex& pattern) {
  systemLog(LOG_NOTICE, "Looking in %s for files created after %s with pattern %s",
            files::printableText(directory.resolvedPath()).c_str(), describeDate(start).c_str(),
            files::printableText(pattern.pattern()).c_str());
  std::vector<files::FoundEntry> entries = directory.findEntries(start - std::chrono::seconds(1), pattern);
  if (entries.empty()) return std::nullopt;
  return std::move(entries.back().name);
}

namespace {

// Takes out of the folder `dirFd` (within a private place) every item below it that does not belong
// to `owner`, never following a link or leaving the file system; root-owned links become the
// owner's.
enum class Pruned { kNothing, kSome, kFailed };
Pruned pruneForeign(int dirFd, uid_t owner, std::size_t depth) {
  if (depth >= files::kMaxTreeDepth) return Pruned::kFailed;
  UniqueFd readable(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!readable) return Pruned::kFailed;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(readable.get()), ::closedir);
  if (!dir) return Pruned::kFailed;
  (void)readable.release();
  const int fd = ::dirfd(dir.get());
  struct stat here {};
  if (::fstat(fd, &here) != 0) return Pruned::kFailed;
  std::vector<std::pair<std::string, struct stat>> foreign;
  std::vector<std::string> folders;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0) return Pruned::kFailed;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Pruned::kFailed;
    if (S_ISLNK(st.st_mode) && st.st_uid != owner &&
        ::fchownat(fd, entry->d_name, owner, static_cast<gid_t>(-1), AT_SYMLINK_NOFOLLOW) == 0) {
      continue;
    }
    if (st.st_uid != owner || st.st_dev != here.st_dev) {
      foreign.emplace_back(entry->d_name, st);
    } else if (S_ISDIR(st.st_mode)) {
      folders.emplace_back(entry->d_name);
    }
  }
  Pruned result = foreign.empty() ? Pruned::kNothing : Pruned::kSome;
  for (const auto& [name, st] : foreign)
    if (files::removeItem(fd, name, st) != 0) return Pruned::kFailed;
  for (const std::string& name : folders) {
    UniqueFd sub(::openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub) return Pruned::kFailed;
    const Pruned below = pruneForeign(sub.get(), owner, depth + 1);
    if (below == Pruned::kFailed) return below;
    if (below == Pruned::kSome) result = below;
  }
  return result;
}

void logMoveFailure(std::string_view source, std::string_view target, const Error& error) {
  systemLog(LOG_ERR, "Error moving %s -> %s: %s", files::printableText(source).c_str(),
            files::printableText(target).c_str(), files::printableText(error.localizedDescription()).c_str());
}

}  // namespace

Result<Published> publishEntry(const ClientPlace& place, const WorkPlace& work, const std::string& name,
                               std::string_view sourceForLog) {
  const std::string source = sourceForLog.empty() ? work.directory.pathOf(name) : std::string(sourceForLog);
  std::string target = place.directory.pathOf(name);
  Result<files::PlacedItem> item = work.directory.openEntry(name);
  if (!item) {
    logMoveFailure(source, target, item.error());
    return std::move(item).takeError();
  }
  bool complete = files::reownItem(item->fd.get(), source, place.client, /*recursively=*/true);
  struct stat top {};
  bool given = ::fstat(item->fd.get(), &top) == 0 && top.st_uid == place.client;
  if (given && S_ISDIR(top.st_mode)) {
    const Pruned pruned = pruneForeign(item->fd.get(), place.client, 0);
    if (pruned == Pruned::kSome) complete = false;
    given = pruned != Pruned::kFailed;
  }
  if (!given) {
    Error refused = cocoaFileError(EPERM, target, FileOperation::kWrite);
    logMoveFailure(source, target, refused);
    return refused;
  }
  systemLog(LOG_NOTICE, "Moving %s -> %s", files::printableText(source).c_str(), files::printableText(target).c_str());
  std::string lastTarget;
  Result<files::PlacedItem> placed = place.directory.moveItemFrom(work.place.fd(), name, source, &lastTarget);
  if (!placed) {
    if (!lastTarget.empty()) target = place.directory.pathOf(lastTarget);
    logMoveFailure(source, target, placed.error());
    return std::move(placed).takeError();
  }
  return Published{std::move(placed->path), complete};
}

std::optional<std::string> moveIntoPlace(const ClientPlace& place, std::string_view source, Error* error) {
  const std::string target = place.directory.pathOf(files::lastComponent(files::lexicallyNormalPath(source)));
  const auto fail = [&](Error failure) -> std::optional<std::string> {
    if (error) *error = std::move(failure);
    return std::nullopt;
  };
  Result<SharedWork> work = openWorkPlace();
  if (!work) return fail(std::move(work).takeError());
  std::string lastTarget;
  Result<files::PlacedItem> taken = work.value()->directory.moveItem(source, &lastTarget);
  if (!taken) {
    logMoveFailure(source, target, taken.error());
    return fail(std::move(taken).takeError());
  }
  Result<Published> published = publishEntry(place, *work.value(), taken->name, source);
  if (!published) return fail(std::move(published).takeError());
  return std::move(published->path);
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
