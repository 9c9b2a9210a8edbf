// User defaults: the argument domain ("-Key value" on the command line) over a property-list file
// per bundle identifier in the preferences directory. Read afresh on every lookup.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace zeb {

class UserDefaults {
 public:
  // Takes the argument domain from a command line: every "-Key value" pair.
  static void registerArguments(int argc, const char* const* argv);

  // The preferences directory: $ZEB_PREFERENCES_DIR, else ~/.config/preferences of the running
  // user (home from the password database).
  static std::string preferencesDirectory();

  static std::optional<Value> objectForKey(std::string_view key);
  // Numbers as integers, strings by their leading integer, everything else 0.
  static std::int64_t integerForKey(std::string_view key);
};

}  // namespace zeb
