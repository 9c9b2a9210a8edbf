// Shared pieces of the utility tests: private temporary directories, files, scripted stand-in tools
// and a fake system root.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "Utility/SystemRoot.h"
#include "platform/task/Task.h"

namespace zeb::test {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zeb-utility-XXXXXX").string();
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
  }
  ::chmod(path.c_str(), mode);
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A fake system root in a temporary directory, made current for the test's lifetime.
class FakeRoot {
 public:
  FakeRoot() { EXPECT_TRUE(SystemRoot::set(dir_.path()).ok()); }
  ~FakeRoot() { (void)SystemRoot::set("/"); }
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;

  std::string path(const std::string& absolute) const { return dir_.path() + absolute; }
  const std::string& dir() const { return dir_.path(); }

  // A shell script standing in for an OS tool at `absolute` below the root.
  void writeTool(const std::string& absolute, const std::string& body) const {
    writeFile(path(absolute), "#!/bin/sh\n" + body, 0755);
  }

  void writeSystemVersion(const std::string& productVersion, const std::string& build = "13A483") const {
    writeFile(path("/System/Library/CoreServices/SystemVersion.plist"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>ProductBuildVersion</key><string>" + build + "</string>"
              "<key>ProductName</key><string>Mac OS X</string>"
              "<key>ProductVersion</key><string>" + productVersion + "</string></dict></plist>\n");
  }

 private:
  TempDir dir_;
};

struct CommandResult {
  int status = -1;
  std::string output;
  std::string errors;
};

// Runs a real program to its end, capturing what it writes.
inline CommandResult runCommand(const std::string& path, std::vector<std::string> args) {
  auto task = Task::create();
  task->setLaunchPath(path);
  task->setArguments(std::move(args));
  if (!task->launch().ok()) return {};
  task->waitUntilExit();
  return {task->terminationStatus(), task->standardOutputData(), task->standardErrorData()};
}

// An XML property list text: an array of sections.
inline std::string reportXML(const std::string& sections) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>" + sections + "</array></plist>\n";
}

inline std::string sectionXML(const std::string& dataType, const std::string& itemsXML) {
  return "<dict><key>_dataType</key><string>" + dataType + "</string><key>_items</key>" + itemsXML + "</dict>";
}

}  // namespace zeb::test
