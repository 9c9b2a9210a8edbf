// Every log request runs to its end on its connection's queue, zip included.
#include "helper/logs/LogGathering.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "Utility/FileTree.h"
#include "Utility/SystemRoot.h"
#include "Utility/ZEBUtilities.h"
#include "helper/files/ClientDirectory.h"
#include "helper/logs/LogSources.h"
#include "helper/files/LogText.h"
#include "helper/files/Ownership.h"
#include "helper/files/PathPolicy.h"
#include "platform/filesystem/DirectoryEntries.h"
#include "platform/filesystem/PathWalk.h"
#include "helper/files/Staging.h"
#include "platform/foundation/Description.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"

namespace zeb::logs {

using namespace zeb::files;

namespace {

// What tells the two gathering requests apart.
struct LogFamily {
  const char* startText;  // followed by the destination's path
  const char* prefix;     // of the names in the log directory that belong to the family
  const char* folderName;
  const char* domain;
  bool logsArchiveOutcome;
  // Two gatherings of one family in the same second would share a working folder, and the second
  // would empty it under the first. Other daemons on the machine share the working base too: see
  // lockFamily.
  std::mutex* lock;
};

constexpr const char* kLogDirectory = "/var/log";
constexpr std::int16_t kArchivePermissions = 0666;
constexpr std::int64_t kLogErrorCode = 100;
constexpr const char* kCopyLogFilesDomain = "com.orvel.zeb.privileged.copyLogFiles";
constexpr const char* kSomeFilesNotCopied = "Some of the files could not be copied";
constexpr const char* kCouldNotMoveArchive = "Could not move archive to the destination directory.";
constexpr const char* kNamedTwice = "File is named more than once in this request";
// What one copy request may write in all; the user default "CopyByteLimit" (bytes) overrides it.
constexpr std::uint64_t kCopyByteLimit = std::uint64_t{1} << 30;

std::uint64_t copyByteLimit() {
  const std::int64_t n = UserDefaults::integerForKey("CopyByteLimit");
  return n > 0 ? static_cast<std::uint64_t>(n) : kCopyByteLimit;
}

// The names in the log directory that begin with `prefix`, as full paths, in listing order. A log
// directory that isn't there has none; one that can't be read fails the gathering.
Result<std::vector<std::string>> logFamily(std::string_view prefix) {
  std::vector<std::string> paths;
  const std::string directory = SystemRoot::resolve(kLogDirectory);
  Result<WalkedItem> walked = walkPath(directory, FinalLink::kFollow, FileOperation::kRead);
  if (!walked || !S_ISDIR(walked->status.st_mode)) return paths;
  Status listed = forEachEntry(walked->fd.get(), directory, [&](std::string_view name) -> Status {
    if (name.substr(0, prefix.size()) == prefix) paths.push_back(joinPath(directory, name));
    return Ok{};
  });
  if (!listed) return std::move(listed).takeError();
  return paths;
}

// Copies one log family member into the working folder under its own name. A link is copied as the
// link, never followed: whatever it points at stays out of the archive (zip keeps links as links).
Status copyIntoFolder(const ClientDirectory& folder, const std::string& source) {
  Result<WalkedParent> parent = walkToParent(source, FileOperation::kRead);
  if (!parent) return std::move(parent).takeError();
  const std::string& name = parent->name;
  UniqueFd item(::openat(parent->dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!item || ::fstat(item.get(), &status) != 0) return cocoaFileError(errno, source, FileOperation::kRead);
  if (S_ISLNK(status.st_mode)) {
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(item.get(), "", target, sizeof target - 1);
    if (n < 0) return cocoaFileError(errno, source, FileOperation::kRead);
    target[n] = '\0';
    if (::symlinkat(target, folder.fd(), name.c_str()) != 0)
      return cocoaFileError(errno, folder.pathOf(name), FileOperation::kWrite);
    return Ok{};
  }
  Result<PlacedItem> copied = folder.copyItem(item.get(), source, name);
  if (!copied) return std::move(copied).takeError();
  return Ok{};
}

// Waits for, then holds (until the descriptor closes), the family's lock file in the working base, so
// that daemons sharing the base never gather one family at once either. An error when the base has
// no room for it; the working folder will then fail too.
Result<UniqueFd> lockFamily(std::string_view folderName) {
  const std::optional<std::string> base = ZEBUtilities::tempUserDirectory();
  if (!base) return cocoaFileError(ENOENT, folderName, FileOperation::kWrite);
  const std::string path = joinPath(*base, "." + std::string(folderName) + ".lock");
  Result<WalkedParent> parent = walkToParent(path, FileOperation::kWrite);
  if (!parent) return std::move(parent).takeError();
  UniqueFd fd(::openat(parent->dir.get(), parent->name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                       0600));
  if (!fd) return cocoaFileError(errno, path, FileOperation::kWrite);
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return cocoaFileError(errno, path, FileOperation::kWrite);
  }
  return fd;
}

// Removes what a gathering left in the daemon's own working base directory, never following a link.
void removeWorkItem(const std::string& path) {
  if (Status removed = filetree::removeItem(path); !removed && posixErrorCode(removed.error()) != ENOENT) {
    systemLog(LOG_WARNING, "Could not remove %s: %s", printableText(path).c_str(),
              removed.error().localizedDescription().c_str());
  }
}

// The per-file messages as they go into the log: client text cannot break the line structure.
Dictionary printableMessages(const Dictionary& messages) {
  Dictionary printable;
  for (const auto& [source, message] : messages) {
    printable.emplace(printableText(source), Value(printableText(*message.asString())));
  }
  return printable;
}

// Copies every file into the working folder `toArchive`, then packs it into the archive beside it
// (its path plus ".zip"). Each failure is logged where it happens.
[[nodiscard]] Status gatherAndCompressFiles(const std::vector<std::string>& files, const std::string& toArchive);

void gatherLogFamily(ZEBCollectorHost& daemon, const LogFamily& family, ZEBRequest request, const URL& destination) {
  const std::string& destinationPath = destination.path();
  systemLog(LOG_NOTICE, "%s%s", family.startText, printableText(destinationPath).c_str());

  const auto answer = [&](const ZEBResult& result, const ZEBOptionalError& error) { request.finish(result, error); };
  const auto answerNotCopied = [&] {
    answer(Dictionary{{"filePath", Value("fail.")}},
           Error::withDescription(family.domain, kLogErrorCode, kSomeFilesNotCopied));
  };
  const auto answerNotMoved = [&] {
    if (family.logsArchiveOutcome)
      systemLog(LOG_NOTICE, "archivePath is nil. destinationDir is %s", printableText(destinationPath).c_str());
    answer(Dictionary{{"fileErrors", Value(destinationPath)}},
           Error::withDescription(family.domain, kLogErrorCode, kCouldNotMoveArchive));
  };

  // A place that isn't the requester's would refuse the archive anyway: don't gather for it.
  const Result<ClientDirectory> place = ClientDirectory::open(destinationPath, request.from.uid);
  if (!place) {
    systemLog(LOG_NOTICE, "Can't place logs in %s for %s: %s", printableText(destinationPath).c_str(),
              request.from.description().c_str(), printableText(place.error().localizedDescription()).c_str());
    answerNotMoved();
    return;
  }

  std::lock_guard serialised(*family.lock);
  // A base with no room for the lock has none for the working folder either, whose failure answers.
  const Result<UniqueFd> familyLock = lockFamily(family.folderName);
  const Result<std::vector<std::string>> files = logFamily(family.prefix);
  if (!files) {
    systemLog(LOG_NOTICE, "Could not list the logs: %s", printableText(files.error().localizedDescription()).c_str());
    answerNotCopied();
    return;
  }
  const std::optional<std::string> folder = ZEBUtilities::tempUserDirectoryDatedWithName(family.folderName);
  if (!folder) {
    answerNotCopied();
    return;
  }
  const std::string archive = *folder + ".zip";
  const Status packed = gatherAndCompressFiles(*files, *folder);
  // The copies are of no use once packed (or not); left behind, every request would add a copy of
  // the logs to the root user's disk.
  removeWorkItem(*folder);
  if (!packed) {
    removeWorkItem(archive);
    answerNotCopied();
    return;
  }

  // Into the directory opened before the gathering began: a swap of its path meanwhile changes nothing.
  const Result<Published> placed =
      daemon.placement(request.from).moveItem(archive, *place, kArchivePermissions, Giving::kWhole);
  if (!placed) {
    removeWorkItem(archive);
    answerNotMoved();
    return;
  }
  if (family.logsArchiveOutcome) systemLog(LOG_NOTICE, "archivePath is %s", printableText(placed->path).c_str());
  answer(Dictionary{{"filePath", Value(placed->path)}}, std::nullopt);
}

Status gatherAndCompressFiles(const std::vector<std::string>& files, const std::string& toArchive) {
  if (!canModifyPath(toArchive)) systemLog(LOG_NOTICE, "Can not modify path?: %s", printableText(toArchive).c_str());

  // The working folder is the daemon's own: nobody else may have a hand in it.
  Result<ClientDirectory> folder = ClientDirectory::open(toArchive, ::geteuid());
  if (!folder) {
    systemLog(LOG_NOTICE, "Could not open %s: %s", printableText(toArchive).c_str(),
              printableText(folder.error().localizedDescription()).c_str());
    return std::move(folder).takeError();
  }
  for (const std::string& source : files) {
    if (Status copied = copyIntoFolder(folder.value(), source); !copied) {
      systemLog(LOG_NOTICE, "Could not copy: %s -> %s", printableText(source).c_str(),
                printableText(toArchive).c_str());
      return copied;
    }
  }
  systemLog(LOG_NOTICE, "Copied all files!");
  // The archiver logs its own failures.
  if (!ZEBUtilities::compressDirectoryAtPath(toArchive, toArchive + ".zip"))
    return cocoaFileError(EIO, toArchive + ".zip", FileOperation::kWrite);
  return Ok{};
}

}  // namespace

void gatherSyslogs(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination) {
  static std::mutex lock;
  static const LogFamily syslogs = {"Collecting Syslogs to destination: ", "system.log", "syslogs",
                                    "com.orvel.zeb.privileged.copySyslogs", true, &lock};
  gatherLogFamily(daemon, syslogs, std::move(request), destination);
}

void gatherInstallLogs(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination) {
  static std::mutex lock;
  static const LogFamily installLogs = {"Collecting Install Logs to destination: ", "install.log", "installLogs",
                                        "com.orvel.zeb.privileged.copyinstallLogs", false, &lock};
  gatherLogFamily(daemon, installLogs, std::move(request), destination);
}

void copyLogFiles(ZEBCollectorHost& daemon, ZEBRequest request, const Dictionary& files) {
  const auto answer = [&](const ZEBResult& result, const ZEBOptionalError& error) { request.finish(result, error); };

  Dictionary messages;
  // One file under several spellings would be copied once for each: each source is named once.
  std::set<std::pair<dev_t, ino_t>> sources;
  for (const auto& [source, value] : files) {
    const std::string& destination = *value.asString();
    const LogSource opened = openLogSource(source);
    switch (opened.verdict) {
      case LogSourceVerdict::kMissing: messages.emplace(source, Value("File doesn't exist")); break;
      case LogSourceVerdict::kOutside:
        messages.emplace(source, Value("File must be copied from a log directory"));
        break;
      case LogSourceVerdict::kInside: {
        struct stat status {};
        if (::fstat(opened.fd.get(), &status) != 0 || !sources.emplace(status.st_dev, status.st_ino).second) {
          messages.emplace(source, Value(kNamedTwice));
        } else if (!canModifyPath(destination)) {
          messages.emplace(source, Value("Invalid destination: " + destination));
        }
        break;
      }
    }
  }
  if (!messages.empty()) {
    systemLog(LOG_NOTICE, "Some files had errors: \n%s", describe(Value(printableMessages(messages))).c_str());
    answer(Dictionary{{"fileErrors", Value(messages)}},
           Error::withDescription(kCopyLogFilesDomain, kLogErrorCode, kSomeFilesNotCopied));
    return;
  }

  const FilePlacement placement = daemon.placement(request.from);
  CopyBudget budget{copyByteLimit()};
  for (const auto& [source, value] : files) {
    const std::string& destination = *value.asString();
    systemLog(LOG_NOTICE, "Copying: %s -> %s", printableText(source).c_str(), printableText(destination).c_str());
    // Checked again on the descriptor that is copied: the source may have changed since.
    LogSource opened = openLogSource(source);
    Result<PlacedItem> copied =
        opened.verdict == LogSourceVerdict::kInside
            ? placement.copyItem(opened.fd.get(), source, destination, &budget)
            : Result<PlacedItem>(cocoaFileError(opened.verdict == LogSourceVerdict::kMissing ? ENOENT : EACCES,
                                                source, FileOperation::kRead));
    if (!copied) {
      systemLog(LOG_NOTICE, "Could not copy %s -> %s: %s", printableText(source).c_str(),
                printableText(destination).c_str(), printableText(copied.error().localizedDescription()).c_str());
      answer(Dictionary{}, copied.error());
      return;
    }
  }
  answer(Dictionary{}, std::nullopt);
}

}  // namespace zeb::logs
