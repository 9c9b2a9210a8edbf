// Runs the operating system's inventory tool, "/usr/sbin/system_profiler" under the system root, in
// its machine-readable mode and hands back the parsed report: through a completion handler, or as a
// plain result for callers that can wait. The report is an array of section dictionaries, each
// naming its section under "_dataType" and holding its content under "_items".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace zeb {

class ZEBSystemProfiler {
 public:
  // The report, or why there is none.
  using CompletionHandler = std::function<void(Result<Array> report)>;

  static constexpr std::string_view kToolPath = "/usr/sbin/system_profiler";  // under the system root
  // The raw bytes of the last report, kept for inspection; never relocated.
  static constexpr std::string_view kDebugCopyPath = "/tmp/blah.xml";

  // A tool that ends with a nonzero status (the status is deliberately not in the text).
  static constexpr std::string_view kErrorDomain = "com.orvel.tessel.VellumDrift";
  static constexpr std::int64_t kToolFailureCode = -5;
  static constexpr std::string_view kToolFailureDescription = "system_profiler returned a non-zero exit status";
  // A report of the wrong shape: an error for the caller, never a crash of the daemon.
  static constexpr std::string_view kInconsistencyDomain = "NSInternalInconsistencyException";
  static constexpr std::int64_t kInconsistencyCode = 0;

  // Launches the tool with "-xml" and the data types in their order (just "-xml" without any) and
  // returns. The handler runs once, later, on a thread of its own: with the report, or with the
  // error of a tool that could not be started, failed, or wrote something that is not an array
  // property list.
  static void collectSystemProfileWithDataTypes(const std::optional<std::vector<std::string>>& dataTypes,
                                                CompletionHandler completionHandler);

  // Blocks until the report is in.
  [[nodiscard]] static Result<Array> systemProfileWithDataTypes(
      const std::optional<std::vector<std::string>>& dataTypes);

  // Blocks. The "_items" of the first section of that data type; nothing, and no error, when no
  // section has it.
  [[nodiscard]] static Result<std::optional<Value>> systemProfileItemsWithDataType(const std::string& dataType);
};

}  // namespace zeb
