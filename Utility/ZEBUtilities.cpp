#include "Utility/ZEBUtilities.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "Utility/FileTree.h"
#include "platform/filesystem/PathText.h"
#include "Utility/MacVariantsTable.h"
#include "Utility/SystemRoot.h"
#include "Utility/ZEBLog.h"
#include "Utility/ZEBSystemProfiler.h"
#include "platform/foundation/Description.h"
#include "platform/foundation/EmbeddedPlist.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/PropertyList.h"
#include "platform/task/Task.h"

namespace zeb {
namespace {

// The hosts whose reachability stands for the internet's.
constexpr const char* kPrimaryHost = "www.apple.com";
constexpr const char* kFallbackHost = "www.google.com";

// JSON nesting we write; deeper objects are refused as not serializable.
constexpr int kMaxJSONDepth = 512;
// A password-database entry larger than this is treated as missing.
constexpr std::size_t kMaxPasswdBuffer = 1024 * 1024;

std::optional<std::string> cachesDirectory() {
  std::vector<char> buf(16 * 1024);
  for (;;) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    const int rc = ::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < kMaxPasswdBuffer) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || !found || !pw.pw_dir || pw.pw_dir[0] == '\0') return std::nullopt;
    std::string home = pw.pw_dir;
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return (home == "/" ? "" : home) + "/.cache";
  }
}

std::string joinPath(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  return dir.back() == '/' ? dir + std::string(name) : dir + "/" + std::string(name);
}

std::string localStamp() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char buf[64];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d-%H%M%S", &tm);
  return std::string(buf, n);
}

std::optional<Dictionary> readSystemVersionFile() {
  auto parsed = readPropertyListFile(SystemRoot::resolve(ZEBUtilities::kSystemVersionPath));
  if (!parsed.ok() || !parsed->asDictionary()) return std::nullopt;
  return *parsed->asDictionary();
}

std::optional<std::string> systemVersionString(std::string_view key) {
  auto dict = readSystemVersionFile();
  if (!dict) return std::nullopt;
  const Value* v = lookup(*dict, key);
  if (!v || !v->asString()) return std::nullopt;
  return *v->asString();
}

std::vector<std::string_view> splitAtDots(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto dot = text.find('.');
    parts.push_back(text.substr(0, dot));
    if (dot == std::string_view::npos) return parts;
    text.remove_prefix(dot + 1);
  }
}

// Leading white space, an optional sign and the leading digits; 0 without digits, saturated on
// overflow.
long long integerValue(std::string_view text) { return std::strtoll(std::string(text).c_str(), nullptr, 10); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

ComparisonResult orderOf(int c) {
  return c < 0 ? ComparisonResult::kOrderedAscending
               : (c > 0 ? ComparisonResult::kOrderedDescending : ComparisonResult::kOrderedSame);
}

// Digit runs of any length, compared by value.
int compareDigitRuns(std::string_view a, std::string_view b) {
  while (a.size() > 1 && a.front() == '0') a.remove_prefix(1);
  while (b.size() > 1 && b.front() == '0') b.remove_prefix(1);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b);
}

std::optional<nlohmann::json> toJSON(const Value& value, int depth) {
  if (depth > kMaxJSONDepth) return std::nullopt;
  switch (value.kind()) {
    case Value::Kind::kNil: return nlohmann::json(nullptr);
    case Value::Kind::kBool: return nlohmann::json(*value.asBool());
    case Value::Kind::kInt: return nlohmann::json(*value.asInt());
    case Value::Kind::kUInt: return nlohmann::json(*value.asUInt());
    case Value::Kind::kDouble:
      if (!std::isfinite(*value.asDouble())) return std::nullopt;
      return nlohmann::json(*value.asDouble());
    case Value::Kind::kString: return nlohmann::json(*value.asString());
    case Value::Kind::kArray: {
      nlohmann::json out = nlohmann::json::array();
      for (const Value& v : *value.asArray()) {
        auto j = toJSON(v, depth + 1);
        if (!j) return std::nullopt;
        out.push_back(std::move(*j));
      }
      return out;
    }
    case Value::Kind::kDictionary: {
      nlohmann::json out = nlohmann::json::object();
      for (const auto& [key, v] : *value.asDictionary()) {
        auto j = toJSON(v, depth + 1);
        if (!j) return std::nullopt;
        out[key] = std::move(*j);
      }
      return out;
    }
    case Value::Kind::kData:
    case Value::Kind::kURL:
    case Value::Kind::kError:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<Dictionary> modelTable() {
  Result<Value> table = ZEBUtilities::currentSystemVersion() == 7
                            ? readPropertyListFile(SystemRoot::resolve(ZEBUtilities::kSystemProfilerModelTablePath))
                            : parsePropertyList(macVariantsPropertyList());
  if (!table.ok() || !table->asDictionary()) return std::nullopt;
  return *table->asDictionary();
}

std::optional<Value> modelName(const Dictionary& item) {
  const Value* model = lookup(item, "machine_model");
  if (!model || !model->asString()) return std::nullopt;
  auto table = modelTable();
  if (!table) return std::nullopt;
  const Value* entry = lookup(*table, *model->asString());
  if (!entry || !entry->asDictionary()) return std::nullopt;
  const Value* name = lookup(*entry->asDictionary(), "name");
  if (!name) return std::nullopt;
  return *name;
}

bool reachableWithoutConnection(const std::string& host, HostLookup lookup) {
  const auto flags = reachabilityFlagsForHost(host, lookup);
  return flags && (*flags & kReachabilityReachable) && !(*flags & kReachabilityConnectionRequired);
}

}  // namespace

std::optional<std::string> ZEBUtilities::tempUserDirectory() {
  auto caches = cachesDirectory();
  if (!caches) return std::nullopt;
  const std::string path = joinPath(*caches, mainBundleIdentifier());
  if (Status created = filetree::createDirectory(path); !created.ok())
    nsLog("An error occured creating local directory: %s", created.error().localizedDescription().c_str());
  return path;
}

std::optional<std::string> ZEBUtilities::tempUserDirectoryDatedWithName(std::string_view name) {
  const std::string dirName = std::string(name) + "-" + localStamp();
  auto base = tempUserDirectory();
  if (!base) return std::nullopt;
  const std::string path = joinPath(*base, dirName);
  // A leftover of an earlier run in the same second goes, with everything in it.
  (void)filetree::removeItem(path);
  if (Status created = filetree::createDirectory(path); !created.ok()) {
    nsLog("Erroc creating temp directory %s: %s", path.c_str(), created.error().localizedDescription().c_str());
    return std::nullopt;
  }
  return path;
}

bool ZEBUtilities::compressDirectoryAtPath(const std::string& path, const std::string& destinationPath) {
  static constexpr const char* kCaller = "+[ZEBUtilities compressDirectoryAtPath:destinationPath:]";
  const std::string parent = files::lexicallyNormalPath(path + "/..");
  // zip runs in the parent, so that is where a relative archive path lands; resolving it here first
  // lets the old archive be removed rather than added to.
  std::string archive = destinationPath;
  if (archive.empty() || archive.front() != '/') archive = joinPath(parent, archive);
  (void)filetree::removeItem(archive);

  auto task = Task::create();
  task->setLaunchPath(std::string(kZipPath));
  // -y stores links as links: packing never reads through a link into a file elsewhere.
  task->setArguments({"-q", "-r", "-y", archive, std::string(files::lastComponent(files::lexicallyNormalPath(path)))});
  task->setCurrentDirectoryPath(parent);
  task->setStandardOutput(Task::Stream::kInherit);
  task->setStandardError(Task::Stream::kInherit);
  if (Status launched = task->launch(); !launched.ok()) {
    nsLog("Could not launch %s: %s", task->launchPath().c_str(), describe(launched.error()).c_str());
    ZEB_LOG_ERROR(kCaller, "Error creating archive %s", archive.c_str());
    return false;
  }
  task->waitUntilExit();
  if (task->terminationStatus() == 0 && !task->terminatedBySignal()) return true;
  ZEB_LOG_ERROR(kCaller, "Error creating archive %s", archive.c_str());
  return false;
}

std::int32_t ZEBUtilities::currentSystemVersion() {
  const std::optional<std::string> version = systemVersionString("ProductVersion");
  const std::vector<std::string_view> parts = splitAtDots(version ? std::string_view(*version) : std::string_view());
  if (!version || parts.size() < 2) {
    nsLog("Too few version parts: %s", version ? version->c_str() : "(null)");
    return kUnknownSystemVersion;
  }
  const long long major = integerValue(parts[0]);
  const long long minor = integerValue(parts[1]);
  if (major != 10) {
    nsLog("Unknown major version number: %lld", major);
    return kUnknownSystemVersion;
  }
  if (static_cast<unsigned long long>(minor) > 9) {
    nsLog("Unhandled minor OS version: %lld", minor);
    return kUnknownSystemVersion;
  }
  return static_cast<std::int32_t>(minor);
}

std::optional<std::string> ZEBUtilities::currentSystemBuild() { return systemVersionString("ProductBuildVersion"); }

ComparisonResult ZEBUtilities::compareBuildString(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      const std::size_t si = i, sj = j;
      while (i < a.size() && isDigit(a[i])) ++i;
      while (j < b.size() && isDigit(b[j])) ++j;
      if (const int c = compareDigitRuns(a.substr(si, i - si), b.substr(sj, j - sj)); c != 0) return orderOf(c);
      continue;
    }
    // UTF-8 bytes order as their code points do.
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
    if (ca != cb) return orderOf(ca < cb ? -1 : 1);
    ++i;
    ++j;
  }
  if (i < a.size()) return ComparisonResult::kOrderedDescending;
  if (j < b.size()) return ComparisonResult::kOrderedAscending;
  return ComparisonResult::kOrderedSame;
}

ComparisonResult ZEBUtilities::compareVersionString(std::string_view a, std::string_view b) {
  const auto pa = splitAtDots(a), pb = splitAtDots(b);
  for (std::size_t i = 0; i < std::max(pa.size(), pb.size()); ++i) {
    if (i >= pa.size()) return ComparisonResult::kOrderedAscending;
    if (i >= pb.size()) return ComparisonResult::kOrderedDescending;
    if (const int c = pa[i].compare(pb[i]); c != 0) return orderOf(c);
  }
  return ComparisonResult::kOrderedSame;
}

std::optional<std::string> ZEBUtilities::jsonSerializeObject(const Value& object) {
  std::optional<nlohmann::json> json;
  if (object.asArray() || object.asDictionary()) json = toJSON(object, 0);
  if (!json) {
    nsLog("Can't serialize object: %s", describe(object).c_str());
    return std::nullopt;
  }
  try {
    // Text that is not UTF-8 is written with replacement characters rather than refused.
    return json->dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const std::exception& e) {
    nsLog("Got an error: %s", describe(Error::withDescription("NSCocoaErrorDomain", 3840, e.what())).c_str());
    return std::nullopt;
  }
}

std::string ZEBUtilities::descriptionForArchitecture(std::int32_t architecture) {
  // Mach-O CPU types; the 64-bit ones carry the ABI flag 0x01000000.
  switch (architecture) {
    case 7: return "Intel";
    case 16777223: return "Intel (64 bit)";
    case 18: return "PowerPC";
    case 16777234: return "PowerPC (64 bit)";
    default: return "Unknown";
  }
}

std::string ZEBUtilities::uniquify(const std::string& path) {
  // Not following links: a dangling link is something, and a path handed out as free must not lead
  // a root process to write through a link someone planted.
  const auto exists = [](const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
  };
  if (!exists(path)) return path;

  std::string dir, name = path;
  if (const auto slash = path.find_last_of('/'); slash != std::string::npos) {
    dir = path.substr(0, slash + 1);
    name = path.substr(slash + 1);
  }
  std::string base = name, extension;
  if (const auto dot = name.find_last_of('.'); dot != std::string::npos && dot != 0 && dot + 1 < name.size()) {
    base = name.substr(0, dot);
    extension = name.substr(dot + 1);
  }
  for (unsigned long n = 2;; ++n) {
    std::string candidate = dir + base + " " + std::to_string(n);
    if (!extension.empty()) candidate += "." + extension;
    if (!exists(candidate)) return candidate;
  }
}

const Dictionary* ZEBUtilities::hardwareDictionary() {
  static std::once_flag once;
  static std::optional<Dictionary> cached;
  std::call_once(once, [] { cached = makeHardwareDictionary(); });
  return cached ? &*cached : nullptr;
}

std::optional<Dictionary> ZEBUtilities::makeHardwareDictionary() {
  const Result<std::optional<Value>> items = ZEBSystemProfiler::systemProfileItemsWithDataType("SPHardwareDataType");
  if (!items.ok() || !*items) {
    ZEB_LOG_ERROR("+[ZEBUtilities hardwareDictionary]", "Error getting hardware info: %s",
                  items.ok() ? "(null)" : describe(items.error()).c_str());
    return std::nullopt;
  }
  const Array* list = (*items)->asArray();
  if (!list || list->empty() || !list->back().asDictionary()) return std::nullopt;
  Dictionary hardware = *list->back().asDictionary();

  if (auto name = modelName(hardware)) hardware.insert_or_assign("hardware_name", std::move(*name));
  else hardware.erase("hardware_name");

  std::string description;
  for (const char* key : {"machine_name", "current_processor_speed", "cpu_type"}) {
    if (const Value* v = lookup(hardware, key)) description += describe(*v) + " ";
  }
  if (const Value* v = lookup(hardware, "machine_model")) description += "(" + describe(*v) + ") ";
  hardware.insert_or_assign("hardware_description", std::move(description));
  return hardware;
}

bool ZEBUtilities::canAccessInternet() { return canAccessInternet(kPrimaryHost, kFallbackHost); }

bool ZEBUtilities::canAccessInternet(const std::string& primaryHost, const std::string& fallbackHost,
                                     HostLookup lookup) {
  if (reachableWithoutConnection(primaryHost, lookup)) return true;
  return reachableWithoutConnection(fallbackHost, lookup);
}

std::string ZEBUtilities::bulletedListStringWithComponents(const std::vector<std::string>& components) {
  std::string out;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i) out += "\n";
    out += "\u2022 " + components[i];
  }
  return out;
}

}  // namespace zeb
