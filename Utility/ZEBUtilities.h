// Class methods shared by the daemon's requests: its working directories, zip archives, the
// operating system's version and build, JSON text, a few display helpers, a cached summary of the
// machine's hardware and a test whether the internet can be reached.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Utility/Reachability.h"
#include "platform/foundation/Value.h"

namespace zeb {

enum class ComparisonResult : int { kOrderedAscending = -1, kOrderedSame = 0, kOrderedDescending = 1 };

// What the system version code means besides 0 to 9 (a release numbered 10.0 to 10.9).
inline constexpr std::int32_t kUnknownSystemVersion = -2;

class ZEBUtilities {
 public:
  static constexpr std::string_view kSystemVersionPath = "/System/Library/CoreServices/SystemVersion.plist";
  static constexpr std::string_view kZipPath = "/usr/bin/zip";
  // The model table of the system's own profiler application, read on release 10.7 (under the
  // system root); elsewhere the table built into this program is used.
  static constexpr std::string_view kSystemProfilerModelTablePath =
      "/Applications/Utilities/System Profiler.app/Contents/Resources/MacVariants.plist";

  // The working base directory: the running user's caches directory (home from the password
  // database) joined with the program's bundle identifier, created if missing. Nothing when the user
  // has no home; a directory that can't be created is logged and its path returned all the same.
  static std::optional<std::string> tempUserDirectory();

  // A new, empty directory "<name>-YYYY-MM-DD-HHMMSS" (local time) in the working base directory; a
  // leftover of the same name is removed first, with everything in it. Nothing on failure.
  static std::optional<std::string> tempUserDirectoryDatedWithName(std::string_view name);

  // Packs directory `path` into the zip archive `destinationPath` (relative: against the
  // directory's parent), replacing any earlier archive; the archive's top folder is the directory's
  // own name. Blocks until zip has ended; true when it succeeded.
  static bool compressDirectoryAtPath(const std::string& path, const std::string& destinationPath);

  // 0 to 9 for releases 10.0 to 10.9, kUnknownSystemVersion otherwise. Read afresh on every call.
  static std::int32_t currentSystemVersion();
  // "ProductBuildVersion", such as "13A483".
  static std::optional<std::string> currentSystemBuild();

  // Runs of decimal digits compare by numeric value (of any length), every other character by its
  // code, case-sensitively: "13A483" < "13A1001" < "13B1".
  static ComparisonResult compareBuildString(std::string_view a, std::string_view toBuildString);
  // Dot-separated parts compare as text, so "10.10" < "10.9" < "10.9.1".
  static ComparisonResult compareVersionString(std::string_view a, std::string_view toVersionString);

  // Pretty-printed JSON of an array or dictionary of strings, numbers, booleans, nil and containers;
  // anything else is logged and gives nothing.
  static std::optional<std::string> jsonSerializeObject(const Value& object);

  // "Intel", "Intel (64 bit)", "PowerPC", "PowerPC (64 bit)" or "Unknown" for a Mach-O CPU type.
  static std::string descriptionForArchitecture(std::int32_t architecture);

  // path itself when nothing is there (not even a dangling link), else the first free
  // "<base> N.<ext>" for N = 2, 3, ...; only the last extension is split off.
  static std::string uniquify(const std::string& path);

  // The last hardware item of the system profiler with "hardware_name" (from the model table) and
  // "hardware_description" added. Computed once per process; null when that computation failed.
  static const Dictionary* hardwareDictionary();
  // The same computation, uncached.
  static std::optional<Dictionary> makeHardwareDictionary();

  // True when the primary host, or else the fallback host, resolves and has a route. Sends nothing.
  static bool canAccessInternet();
  static bool canAccessInternet(const std::string& primaryHost, const std::string& fallbackHost,
                                HostLookup lookup = HostLookup::kResolve);

  // Each component prefixed with "• ", joined by line feeds.
  static std::string bulletedListStringWithComponents(const std::vector<std::string>& components);
};

}  // namespace zeb
