// The process sample: the sampling tool's output is the report, written by the daemon itself into the
// file the client named. The file appears whole or not at all, and an existing file is replaced only
// when it is a regular file of the client's.
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "Utility/SystemRoot.h"
#include "helper/collectors/CollectorSupport.h"
#include "helper/collectors/Collectors.h"
#include "helper/files/ReplacingFile.h"
#include "helper/collectors/CollectorText.h"
#include "helper/files/LogText.h"
#include "helper/files/Ownership.h"
#include "helper/files/PathPolicy.h"
#include "platform/filesystem/PathWalk.h"
#include "platform/foundation/Log.h"

using namespace zeb;
using namespace zeb::collectors;

namespace {

constexpr const char* kSampleTool = "/usr/bin/sample";
constexpr const char* kSampleDomain = "com.orvel.zeb.privileged.sample";
constexpr std::int64_t kSampleErrorCode = 1601;
constexpr const char* kSampleSeconds = "5";
constexpr mode_t kReportMode = 0644;

// Streams the sample into the report file.
std::function<Status(int)> writeSample(const Task& task, const std::string& path) {
  return [&task, path](int fd) -> Status {
    return task.standardOutput().forEachPiece([&](std::string_view piece) { return files::writeAll(fd, piece, path); });
  };
}

// Whether the process `pid` runs as `uid`, by its real and its effective uid. Read through a pidfd
// taken first, so that the answer is about the process that holds the pid now and not one that
// ended meanwhile.
bool isProcessOf(std::uint64_t pid, uid_t uid) {
  if (pid == 0 || pid > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) return false;
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
  if (!pidfd) return false;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  bool matched = false;
  for (std::string line; std::getline(status, line);) {
    if (!line.starts_with("Uid:")) continue;
    std::istringstream fields(line.substr(4));
    long long real = -1, effective = -1;
    fields >> real >> effective;
    matched = real == static_cast<long long>(uid) && effective == static_cast<long long>(uid);
    break;
  }
  // Still the same process: a pidfd of an ended one polls readable.
  pollfd p{pidfd.get(), POLLIN, 0};
  return matched && ::poll(&p, 1, 0) == 0;
}

}  // namespace

void zeb::collectors::sampleProcess(ZEBCollectorHost& daemon, ZEBRequest request, std::uint64_t pid,
                                    const URL& destination) {
  const auto refuse = [&] { request.finish(std::nullopt, files::accessDeniedErrorForPath(destination.path())); };
  if (!files::canModifyPath(destination.path())) return refuse();
  // The output file's folder must be the requester's, and a file already there must be one the
  // requester may replace; both are settled before the tool runs.
  const std::string normal = files::lexicallyNormalPath(destination.path());
  const std::string name(files::lastComponent(normal));
  if (name.empty()) return refuse();
  const uid_t client = request.from.uid;
  Result<SharedPlace> place = openClientDirectory(normal.substr(0, normal.size() - name.size()), client);
  if (place) {
    if (Result<files::ExistingItem> existing = files::replaceableItem(place.value()->directory, name, normal, client);
        !existing) {
      place = std::move(existing).takeError();
    }
  }
  if (!place) {
    systemLog(LOG_NOTICE, "Refusing destination %s for %s: %s", files::printableText(destination.path()).c_str(),
              request.from.description().c_str(), files::printableText(place.error().localizedDescription()).c_str());
    return refuse();
  }

  const Dictionary answer = {{"pid", Value(pid)}, {"filePath", Value(destination.absoluteString())}};
  const auto sampleFailed = [](int status) {
    return Error::withDescription(kSampleDomain, kSampleErrorCode, "Sample process failed with code: " + std::to_string(status));
  };
  // Anyone but root samples only a process of its own: others' names and stacks are not theirs.
  if (!request.from.isRoot() && !isProcessOf(pid, client)) {
    systemLog(LOG_NOTICE, "Refusing to sample pid %llu for %s: not a process of that user",
              static_cast<unsigned long long>(pid), request.from.description().c_str());
    return request.finish(answer, sampleFailed(EPERM));
  }
  runTool(
      daemon, std::move(request), SystemRoot::resolve(kSampleTool), {std::to_string(pid), kSampleSeconds}, nullptr,
      sampleFailed,
      [place = place.value(), name, path = destination.path(), answer, sampleFailed](ZEBRequest& ended, Task& task) {
        ZEBOptionalError error;
        if (task.terminationStatus() != 0) {
          error = sampleFailed(task.terminationStatus());
        } else if (!isStrictUTF8(task.standardOutput())) {
          // Output that is not valid UTF-8 counts as none: nothing is written, and a file already
          // there keeps what it holds.
          systemLog(LOG_NOTICE, "The sample is not UTF-8 text: nothing written to %s", files::printableText(path).c_str());
        } else if (Status written = files::writeReplacingFile(place->directory, name, path, writeSample(task, path),
                                                              place->client, kReportMode);
                   !written) {
          systemLog(LOG_ERR, "Error writing sample to %s: %s", files::printableText(path).c_str(),
                    files::printableText(written.error().localizedDescription()).c_str());
          error = std::move(written).takeError();
        }
        ended.finish(answer, error);
      },
      answer);
}
