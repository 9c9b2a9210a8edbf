// The model table this program ships (MacVariants.plist), built into the executable so that it
// travels with the code that reads it: model identifier -> { name = display name }.
#pragma once

#include <string_view>

namespace zeb {

// The XML property list text of the table.
std::string_view macVariantsPropertyList();

}  // namespace zeb
