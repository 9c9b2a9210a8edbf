// Property lists compiled into ELF sections of the running executable, and the main bundle's info
// dictionary read from there.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace zeb {

inline constexpr std::string_view kInfoPlistSection = "__info_plist";
inline constexpr std::string_view kLaunchdPlistSection = "__launchd_plist";

// The bytes of a named section of an ELF file, or nothing when it has none; the error of a file
// that can't be read or is not a well-formed 64-bit ELF file.
[[nodiscard]] Result<std::optional<std::string>> readElfSection(const std::string& path, std::string_view section);

// The parsed dictionary in a section of the running executable (read anew on each call).
std::optional<Dictionary> embeddedPropertyList(std::string_view section);

// The main bundle's info dictionary: the embedded Info property list, empty without one.
Dictionary mainBundleInfoDictionary();
// One value of it, or null.
std::optional<Value> objectForInfoDictionaryKey(std::string_view key);

// CFBundleIdentifier, or the program's own name when it carries no info dictionary.
std::string mainBundleIdentifier();

}  // namespace zeb
