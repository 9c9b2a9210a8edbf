// Paths as text: the one normaliser, and joining and splitting by components. No file-system call.
#pragma once

#include <string>
#include <string_view>

namespace zeb::files {

enum class EmptyComponents {
  kDrop,  // "//" and a trailing slash vanish, as the kernel reads them
  kKeep,  // they stay: "//tmp/x" is not "/tmp/x", "/tmp/" is not "/tmp"
};

// The path with "." and ".." components removed by text alone: symbolic links are not resolved, ".."
// above the root stays at the root. A relative path stays relative and keeps the ".." components that
// climb above its start. An empty path stays empty. With kKeep empty components are components too
// (a ".." after "//" takes back the empty one).
std::string lexicallyNormalPath(std::string_view path, EmptyComponents empty = EmptyComponents::kDrop);

// The last component of a normalised path ("" for "/").
std::string_view lastComponent(std::string_view normalPath);

// `dir` and `name` joined with one slash.
std::string joinPath(std::string_view dir, std::string_view name);

}  // namespace zeb::files
