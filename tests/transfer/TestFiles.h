// Small file helpers shared by the Ferrix tests.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// Deterministic, non-repeating-looking content of `size` bytes.
inline std::string patternBytes(std::size_t size, std::uint32_t seed = 1) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<char>(x);
  }
  return bytes;
}

inline void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  chmod(path.c_str(), mode);
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

inline mode_t modeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

inline std::size_t entryCount(const std::string& directory) {
  std::error_code ignored;
  std::size_t count = 0;
  for (auto it = std::filesystem::directory_iterator(directory, ignored); it != std::filesystem::directory_iterator();
       it.increment(ignored)) {
    ++count;
  }
  return count;
}

inline std::size_t openDescriptorCount() { return entryCount("/proc/self/fd"); }
