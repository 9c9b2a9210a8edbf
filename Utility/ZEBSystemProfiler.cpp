#include "Utility/ZEBSystemProfiler.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Utility/SystemRoot.h"
#include "platform/foundation/Description.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/task/Task.h"

namespace zeb {
namespace {

Error inconsistency(const char* method, std::string_view description) {
  nsLog("*** Assertion failure in %s: %.*s", method, static_cast<int>(description.size()), description.data());
  return Error::withDescription(std::string(ZEBSystemProfiler::kInconsistencyDomain),
                                ZEBSystemProfiler::kInconsistencyCode, std::string(description));
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// /tmp is shared by every user: the copy is written to a new file of our own and renamed into place,
// so a link or a file someone else put at the name is replaced, never followed or written into. The
// report holds the serial number, so only root may read the copy.
void writeDebugCopy(std::string_view bytes) {
  std::string temp = std::string(ZEBSystemProfiler::kDebugCopyPath) + ".XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return;
  const bool written = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), bytes);
  fd.reset();
  if (!written || ::rename(temp.c_str(), std::string(ZEBSystemProfiler::kDebugCopyPath).c_str()) != 0)
    ::unlink(temp.c_str());
}

void finish(Task& task, const ZEBSystemProfiler::CompletionHandler& handler) {
  const std::string& bytes = task.standardOutputData();
  writeDebugCopy(bytes);
  if (task.terminationStatus() != 0 || task.terminatedBySignal()) {
    handler(Error::withDescription(std::string(ZEBSystemProfiler::kErrorDomain), ZEBSystemProfiler::kToolFailureCode,
                                   std::string(ZEBSystemProfiler::kToolFailureDescription)));
    return;
  }
  Result<Value> parsed = parsePropertyList(bytes);
  if (!parsed.ok()) {
    handler(std::move(parsed).takeError());
    return;
  }
  if (!parsed->asArray()) {
    handler(inconsistency("+[ZEBSystemProfiler collectSystemProfileWithDataTypes:completionHandler:]",
                          "SPX plist should be array"));
    return;
  }
  handler(Array(std::move(*parsed->asArray())));
}

}  // namespace

void ZEBSystemProfiler::collectSystemProfileWithDataTypes(const std::optional<std::vector<std::string>>& dataTypes,
                                                          CompletionHandler completionHandler) {
  std::vector<std::string> arguments{"-xml"};
  if (dataTypes) arguments.insert(arguments.end(), dataTypes->begin(), dataTypes->end());

  auto task = Task::create();
  task->setLaunchPath(SystemRoot::resolve(kToolPath));
  task->setArguments(std::move(arguments));
  task->setStandardOutput(Task::Stream::kCapture);
  task->setStandardError(Task::Stream::kInherit);
  task->setTerminationHandler([completionHandler](Task& t) { finish(t, completionHandler); });
  Status launched = task->launch();
  if (launched.ok()) return;

  // A tool that can't be started still answers, later and on a thread of its own like any report.
  Error error = std::move(launched).takeError();
  nsLog("Could not launch %s: %s", task->launchPath().c_str(), describe(error).c_str());
  std::thread([handler = std::move(completionHandler), error = std::move(error)]() mutable {
    handler(std::move(error));
  }).detach();
}

Result<Array> ZEBSystemProfiler::systemProfileWithDataTypes(const std::optional<std::vector<std::string>>& dataTypes) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<Result<Array>> report;
  };
  auto shared = std::make_shared<Shared>();
  collectSystemProfileWithDataTypes(dataTypes, [shared](Result<Array> report) {
    std::lock_guard lock(shared->mutex);
    shared->report.emplace(std::move(report));
    shared->cv.notify_all();
  });
  std::unique_lock lock(shared->mutex);
  shared->cv.wait(lock, [&] { return shared->report.has_value(); });
  return std::move(*shared->report);
}

Result<std::optional<Value>> ZEBSystemProfiler::systemProfileItemsWithDataType(const std::string& dataType) {
  Result<Array> report = systemProfileWithDataTypes(std::vector<std::string>{dataType});
  if (!report.ok()) return std::move(report).takeError();
  for (const Value& section : *report) {
    const Dictionary* dict = section.asDictionary();
    if (!dict)
      return inconsistency("+[ZEBSystemProfiler systemProfileItemsWithDataType:error:]",
                           "SPX sub-data should be dictionary");
    const Value* type = lookup(*dict, "_dataType");
    if (!type || !type->asString() || *type->asString() != dataType) continue;
    const Value* items = lookup(*dict, "_items");
    if (!items) return std::optional<Value>();
    return std::optional<Value>(*items);
  }
  return std::optional<Value>();
}

}  // namespace zeb
