// A Linux stand-in for the operating system's inventory tool, "/usr/sbin/system_profiler": answers
// "-xml [DATATYPES...]" with an XML property list of this host (an array of sections, each with
// "_dataType" and "_items"), and without -xml with the same facts as text. It only reads: /proc,
// /sys and /etc/os-release, each file bounded.
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Value.h"

namespace {

using zeb::Array;
using zeb::Dictionary;
using zeb::Value;

// No host file we read is anywhere near this; a larger one is cut.
constexpr std::size_t kMaxFileBytes = 1024 * 1024;

constexpr const char* kUsage =
    "usage: system_profiler [-xml] [-detailLevel mini|basic|full] [-listDataTypes] [--host-root DIR]\n"
    "                       [DATATYPE ...]\n"
    "\n"
    "Reports this host's hardware and software. With -xml the report is an XML property list: an\n"
    "array of sections, each with \"_dataType\" and \"_items\". Without data types every known section\n"
    "is reported; unknown data types are skipped.\n"
    "\n"
    "  -xml             XML property list output\n"
    "  -detailLevel L   accepted for compatibility; every level gives the same facts\n"
    "  -listDataTypes   list the known data types\n"
    "  --host-root DIR  read /proc, /sys and /etc below DIR instead of / (for tests)\n"
    "  -h, --help       this text\n";

const std::vector<std::string> kDataTypes = {"SPHardwareDataType", "SPSoftwareDataType"};

std::string hostRoot;

std::optional<std::string> readHostFile(const std::string& path) {
  const int fd = ::open((hostRoot + path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, kMaxFileBytes - bytes.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buf, static_cast<std::size_t>(n));
    if (bytes.size() >= kMaxFileBytes) break;
  }
  ::close(fd);
  return bytes;
}

std::string trim(std::string s) {
  // Device-tree strings end in NUL.
  const auto notSpace = [](unsigned char c) { return !std::isspace(c) && c != '\0'; };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
  s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
  return s;
}

std::string collapseSpaces(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return trim(out);
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Firmware fills fields it has no value for with one of these.
bool isPlaceholder(const std::string& value) {
  static const std::set<std::string> kPlaceholders = {
      "", "to be filled by o.e.m.", "system product name", "system serial number", "system manufacturer",
      "default string", "not specified", "not applicable", "none", "o.e.m.", "oem", "0", "123456789"};
  return kPlaceholders.count(lower(value)) != 0;
}

std::optional<std::string> dmi(const std::string& field) {
  auto text = readHostFile("/sys/class/dmi/id/" + field);
  if (!text) return std::nullopt;
  std::string value = trim(*text);
  if (isPlaceholder(value)) return std::nullopt;
  return value;
}

std::optional<std::string> deviceTree(const std::string& field) {
  auto text = readHostFile("/proc/device-tree/" + field);
  if (!text) return std::nullopt;
  std::string value = trim(*text);
  if (isPlaceholder(value)) return std::nullopt;
  return value;
}

std::string machineArchitecture() {
  struct utsname u {};
  if (::uname(&u) != 0) return "unknown";
  return u.machine;
}

// /proc/cpuinfo as one key/value list per processor block.
std::vector<std::vector<std::pair<std::string, std::string>>> cpuInfo() {
  std::vector<std::vector<std::pair<std::string, std::string>>> blocks(1);
  auto text = readHostFile("/proc/cpuinfo");
  if (!text) return {};
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    const std::string line = text->substr(start, end - start);
    start = end + 1;
    if (trim(line).empty()) {
      if (!blocks.back().empty()) blocks.emplace_back();
      continue;
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    blocks.back().emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }
  if (blocks.back().empty()) blocks.pop_back();
  return blocks;
}

std::optional<std::string> field(const std::vector<std::pair<std::string, std::string>>& block, const std::string& key) {
  for (const auto& [k, v] : block)
    if (k == key) return v;
  return std::nullopt;
}

std::optional<std::string> firstField(const std::vector<std::vector<std::pair<std::string, std::string>>>& blocks,
                                      const std::string& key) {
  for (const auto& block : blocks)
    if (auto v = field(block, key); v && !v->empty()) return v;
  return std::nullopt;
}

std::string formatSpeed(double mhz) {
  char buf[32];
  if (mhz < 1000) {
    std::snprintf(buf, sizeof buf, "%.0f MHz", mhz);
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%.2f", std::round(mhz / 10.0) / 100.0);
  std::string text = buf;
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text + " GHz";
}

std::optional<double> parseNumber(const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !std::isfinite(v) || v <= 0) return std::nullopt;
  return v;
}

std::optional<std::string> processorSpeed(const std::vector<std::vector<std::pair<std::string, std::string>>>& cpus) {
  // The nominal speed first (what the processor is rated at), its current clock last.
  const auto cpufreq = [](const char* file) -> std::optional<double> {
    auto text = readHostFile(std::string("/sys/devices/system/cpu/cpu0/cpufreq/") + file);
    if (!text) return std::nullopt;
    auto khz = parseNumber(trim(*text));
    if (!khz) return std::nullopt;
    return *khz / 1000.0;
  };
  if (auto mhz = cpufreq("base_frequency")) return formatSpeed(*mhz);
  if (auto name = firstField(cpus, "model name")) {
    if (const auto at = name->find(" @ "); at != std::string::npos) {
      const std::string rated = name->substr(at + 3);
      if (auto ghz = parseNumber(rated); ghz && rated.find("GHz") != std::string::npos) return formatSpeed(*ghz * 1000);
    }
  }
  if (auto mhz = cpufreq("cpuinfo_max_freq")) return formatSpeed(*mhz);
  if (auto mhz = firstField(cpus, "cpu MHz"))
    if (auto v = parseNumber(*mhz)) return formatSpeed(*v);
  return std::nullopt;
}

std::optional<std::string> physicalMemory() {
  auto text = readHostFile("/proc/meminfo");
  if (!text) return std::nullopt;
  const auto pos = text->find("MemTotal:");
  if (pos == std::string::npos) return std::nullopt;
  const auto kb = parseNumber(text->substr(pos + 9));
  if (!kb) return std::nullopt;
  const double gib = *kb / (1024.0 * 1024.0);
  if (gib >= 1) return std::to_string(static_cast<long long>(std::llround(gib))) + " GB";
  return std::to_string(static_cast<long long>(std::llround(*kb / 1024.0))) + " MB";
}

Dictionary hardwareOverview() {
  Dictionary item;
  item["_name"] = "hardware_overview";

  const auto cpus = cpuInfo();
  const bool virtualMachine = [&] {
    auto flags = firstField(cpus, "flags");
    return flags && (" " + *flags + " ").find(" hypervisor ") != std::string::npos;
  }();

  // Apple hardware reports its model identifier ("MacBookPro11,1") as the DMI product name.
  std::optional<std::string> model = dmi("product_name");
  if (!model) model = deviceTree("model");
  item["machine_model"] = model.value_or("Linux-" + machineArchitecture());

  std::optional<std::string> name = dmi("product_family");
  if (!name) name = dmi("sys_vendor");
  if (!name) name = deviceTree("model");
  item["machine_name"] = name.value_or(virtualMachine ? "Virtual Machine" : "Linux Computer");

  std::optional<std::string> cpuType;
  for (const char* key : {"model name", "Processor", "cpu model", "uarch"}) {
    if ((cpuType = firstField(cpus, key))) break;
  }
  item["cpu_type"] = collapseSpaces(cpuType.value_or(machineArchitecture()));
  if (auto speed = processorSpeed(cpus)) item["current_processor_speed"] = *speed;

  // Cores, not hardware threads: distinct (package, core) pairs where the kernel names them.
  std::set<std::pair<std::string, std::string>> cores;
  std::set<std::string> packages;
  std::int64_t logical = 0;
  for (const auto& block : cpus) {
    if (!field(block, "processor")) continue;
    ++logical;
    const auto package = field(block, "physical id");
    const auto core = field(block, "core id");
    if (package) packages.insert(*package);
    if (package && core) cores.emplace(*package, *core);
  }
  if (logical == 0) logical = std::max<long>(1, ::sysconf(_SC_NPROCESSORS_CONF));
  item["number_processors"] = cores.empty() ? logical : static_cast<std::int64_t>(cores.size());
  item["packages"] = packages.empty() ? std::int64_t{1} : static_cast<std::int64_t>(packages.size());

  if (auto memory = physicalMemory()) item["physical_memory"] = *memory;
  std::optional<std::string> serial = dmi("product_serial");
  if (!serial) serial = deviceTree("serial-number");
  if (serial) item["serial_number"] = *serial;
  if (auto uuid = dmi("product_uuid")) {
    std::string upper = *uuid;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    item["platform_UUID"] = upper;
  }
  if (auto bios = dmi("bios_version")) item["boot_rom_version"] = *bios;
  return item;
}

std::optional<std::string> osReleaseName() {
  auto text = readHostFile("/etc/os-release");
  if (!text) text = readHostFile("/usr/lib/os-release");
  if (!text) return std::nullopt;
  const auto pos = text->find("PRETTY_NAME=");
  if (pos == std::string::npos || (pos != 0 && (*text)[pos - 1] != '\n')) return std::nullopt;
  std::string value = text->substr(pos + 12, text->find('\n', pos) - pos - 12);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return value;
}

Dictionary softwareOverview() {
  Dictionary item;
  item["_name"] = "os_overview";
  if (auto os = osReleaseName()) item["os_version"] = *os;
  if (auto release = readHostFile("/proc/sys/kernel/osrelease")) item["kernel_version"] = "Linux " + trim(*release);
  if (auto host = readHostFile("/proc/sys/kernel/hostname")) item["local_host_name"] = trim(*host);
  if (auto up = readHostFile("/proc/uptime")) {
    if (auto seconds = parseNumber(*up)) {
      const auto s = static_cast<long long>(*seconds);
      char buf[64];
      std::snprintf(buf, sizeof buf, "up %lld:%lld:%02lld:%02lld", s / 86400, s / 3600 % 24, s / 60 % 60, s % 60);
      item["uptime"] = buf;
    }
  }
  return item;
}

Dictionary section(const std::string& dataType, Dictionary item, const std::vector<std::string>& argv) {
  Array args;
  for (const auto& a : argv) args.emplace_back(a);
  Dictionary s;
  s["_SPCommandLineArguments"] = std::move(args);
  s["_dataType"] = dataType;
  s["_detailLevel"] = std::int64_t{1};
  s["_items"] = Array{Value(std::move(item))};
  s["_parentDataType"] = "SPRootDataType";
  return s;
}

void printText(const std::string& dataType, const Dictionary& item) {
  static const std::vector<std::pair<std::string, std::string>> kHardware = {
      {"machine_name", "Model Name"},          {"machine_model", "Model Identifier"},
      {"cpu_type", "Processor Name"},          {"current_processor_speed", "Processor Speed"},
      {"packages", "Number of Processors"},    {"number_processors", "Total Number of Cores"},
      {"physical_memory", "Memory"},           {"boot_rom_version", "Boot ROM Version"},
      {"serial_number", "Serial Number (system)"}, {"platform_UUID", "Hardware UUID"}};
  static const std::vector<std::pair<std::string, std::string>> kSoftware = {
      {"os_version", "System Version"}, {"kernel_version", "Kernel Version"},
      {"local_host_name", "Computer Name"}, {"uptime", "Time since boot"}};
  const bool hardware = dataType == "SPHardwareDataType";
  std::cout << (hardware ? "Hardware:\n\n    Hardware Overview:\n\n" : "Software:\n\n    System Software Overview:\n\n");
  for (const auto& [key, label] : hardware ? kHardware : kSoftware) {
    const Value* v = zeb::lookup(item, key);
    if (!v) continue;
    std::cout << "      " << label << ": ";
    if (v->asString()) std::cout << *v->asString();
    else if (v->asInt()) std::cout << *v->asInt();
    std::cout << "\n";
  }
  std::cout << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  bool xml = false;
  bool list = false;
  std::vector<std::string> requested;
  std::vector<std::string> args(argv, argv + argc);
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-xml") {
      xml = true;
    } else if (a == "-listDataTypes") {
      list = true;
    } else if (a == "-detailLevel" && i + 1 < args.size()) {
      ++i;
    } else if (a == "--host-root" && i + 1 < args.size()) {
      hostRoot = args[++i];
      while (!hostRoot.empty() && hostRoot.back() == '/') hostRoot.pop_back();
    } else if (a == "-h" || a == "--help" || a == "-help" || a == "-usage") {
      std::cout << kUsage;
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::cerr << "system_profiler: unknown option " << a << "\n" << kUsage;
      return 1;
    } else {
      requested.push_back(a);
    }
  }
  if (list) {
    std::cout << "Available Datatypes:\n";
    for (const auto& t : kDataTypes) std::cout << t << "\n";
    return 0;
  }
  if (requested.empty()) requested = kDataTypes;

  Array report;
  for (const std::string& dataType : requested) {
    Dictionary item;
    if (dataType == "SPHardwareDataType") item = hardwareOverview();
    else if (dataType == "SPSoftwareDataType") item = softwareOverview();
    else continue;
    if (xml) report.emplace_back(section(dataType, std::move(item), args));
    else printText(dataType, item);
  }
  if (xml) std::cout << zeb::toXMLPropertyList(Value(std::move(report)));
  std::cout.flush();
  return std::cout ? 0 : 1;
}
