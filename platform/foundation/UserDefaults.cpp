#include "platform/foundation/UserDefaults.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/foundation/EmbeddedPlist.h"
#include "platform/foundation/PropertyList.h"

namespace zeb {
namespace {

std::mutex gMutex;
Dictionary& argumentDomain() {
  static Dictionary domain;
  return domain;
}

// The preferences file of a process is small; a larger one is ignored.
constexpr std::size_t kMaxPreferencesBytes = 1024 * 1024;

std::string homeOfCurrentUser() {
  std::vector<char> buf(16384);
  struct passwd pw {};
  struct passwd* result = nullptr;
  if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && pw.pw_dir) return pw.pw_dir;
  return "/";
}

std::int64_t leadingInteger(const std::string& s) {
  return std::strtoll(s.c_str(), nullptr, 10);
}

}  // namespace

void UserDefaults::registerArguments(int argc, const char* const* argv) {
  std::lock_guard lock(gMutex);
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
      argumentDomain().insert_or_assign(std::string(arg.substr(1)), Value(std::string(argv[i + 1])));
      ++i;
    }
  }
}

std::string UserDefaults::preferencesDirectory() {
  if (const char* dir = std::getenv("ZEB_PREFERENCES_DIR"); dir && *dir) return dir;
  return homeOfCurrentUser() + "/.config/preferences";
}

std::optional<Value> UserDefaults::objectForKey(std::string_view key) {
  {
    std::lock_guard lock(gMutex);
    if (const Value* v = lookup(argumentDomain(), key)) return *v;
  }
  const std::string file = preferencesDirectory() + "/" + mainBundleIdentifier() + ".plist";
  auto prefs = readPropertyListFile(file, kMaxPreferencesBytes);
  if (!prefs.ok() || !prefs->asDictionary()) return std::nullopt;
  if (const Value* v = lookup(*prefs->asDictionary(), key)) return *v;
  return std::nullopt;
}

std::int64_t UserDefaults::integerForKey(std::string_view key) {
  auto v = objectForKey(key);
  if (!v) return 0;
  if (auto i = v->toInt64()) return *i;
  if (auto* u = v->asUInt()) return static_cast<std::int64_t>(*u);
  if (auto* d = v->asDouble()) return static_cast<std::int64_t>(*d);
  if (auto* b = v->asBool()) return *b ? 1 : 0;
  if (auto* s = v->asString()) return leadingInteger(*s);
  return 0;
}

}  // namespace zeb
