#include "helper/ZEBPrivilegedProtocols.h"

using zeb::Array;
using zeb::Value;
using zeb::xpc::ArgType;

namespace {

ZEBResult resultArg(const Value& v) {
  if (const auto* d = v.asDictionary()) return *d;
  return std::nullopt;
}

ZEBOptionalError errorArg(const Value& v) {
  if (const auto* e = v.asError()) return *e;
  return std::nullopt;
}

}  // namespace

std::shared_ptr<zeb::xpc::Interface> makeDaemonInterface(ZEBPrivilegedDaemonProtocol& d) {
  auto i = std::make_shared<zeb::xpc::Interface>("ZEBPrivilegedDaemon");
  i->add("performReadyCheck", {}, [&d](const Array&) { d.performReadyCheck(); });
  i->add("showPrivileges", {}, [&d](const Array&) { d.showPrivileges(); });
  i->add("stopDaemon", {}, [&d](const Array&) { d.stopDaemon(); });
  i->add("runMobilityReportWithDestination:", {ArgType::kURL},
         [&d](const Array& a) { d.runMobilityReportWithDestination(*a[0].asURL()); });
  i->add("runSysdiagnoseWithDestination:", {ArgType::kURL},
         [&d](const Array& a) { d.runSysdiagnoseWithDestination(*a[0].asURL()); });
  i->add("runWifiDiagnoseWithDestination:", {ArgType::kURL},
         [&d](const Array& a) { d.runWifiDiagnoseWithDestination(*a[0].asURL()); });
  i->add("runBluetoothDiagnoseWithDestination:shortUserName:", {ArgType::kURL, ArgType::kString},
         [&d](const Array& a) { d.runBluetoothDiagnoseWithDestination(*a[0].asURL(), *a[1].asString()); });
  i->add("runTMDiagnoseWithDestination:", {ArgType::kURL},
         [&d](const Array& a) { d.runTMDiagnoseWithDestination(*a[0].asURL()); });
  i->add("runMDSDiagnoseWithDestination:", {ArgType::kURL},
         [&d](const Array& a) { d.runMDSDiagnoseWithDestination(*a[0].asURL()); });
  i->add("sampleProcessWithPID:withDestination:", {ArgType::kUInt64, ArgType::kURL},
         [&d](const Array& a) { d.sampleProcessWithPID(*a[0].asUInt(), *a[1].asURL()); });
  i->add("gatherSyslogsWithDestination:", {ArgType::kURL},
         [&d](const Array& a) { d.gatherSyslogsWithDestination(*a[0].asURL()); });
  i->add("gatherInstallLogsWithDestination:", {ArgType::kURL},
         [&d](const Array& a) { d.gatherInstallLogsWithDestination(*a[0].asURL()); });
  i->add("copyLogFiles:", {ArgType::kStringDictionary}, [&d](const Array& a) { d.copyLogFiles(*a[0].asDictionary()); });
  return i;
}

std::shared_ptr<zeb::xpc::Interface> makeClientInterface(ZEBPrivilegedClientProtocol& c) {
  auto i = std::make_shared<zeb::xpc::Interface>("ZEBPrivilegedClient");
  i->add("helperReadyWithVersion:", {ArgType::kString}, [&c](const Array& a) { c.helperReadyWithVersion(*a[0].asString()); });
  i->add("logMessage:", {ArgType::kString}, [&c](const Array& a) { c.logMessage(*a[0].asString()); });
  using Member = void (ZEBPrivilegedClientProtocol::*)(const ZEBResult&, const ZEBOptionalError&);
  const std::pair<const char*, Member> finishes[] = {
      {"mobilityReportDidFinish:error:", &ZEBPrivilegedClientProtocol::mobilityReportDidFinish},
      {"sysDiagnoseDidFinish:error:", &ZEBPrivilegedClientProtocol::sysDiagnoseDidFinish},
      {"wifiDiagnoseDidFinish:error:", &ZEBPrivilegedClientProtocol::wifiDiagnoseDidFinish},
      {"sampleProcessDidFinish:error:", &ZEBPrivilegedClientProtocol::sampleProcessDidFinish},
      {"bluetoothDiagnoseDidFinish:error:", &ZEBPrivilegedClientProtocol::bluetoothDiagnoseDidFinish},
      {"TMDiagnoseDidFinish:error:", &ZEBPrivilegedClientProtocol::TMDiagnoseDidFinish},
      {"MDSDiagnoseDidFinish:error:", &ZEBPrivilegedClientProtocol::MDSDiagnoseDidFinish},
      {"syslogsDidFinish:error:", &ZEBPrivilegedClientProtocol::syslogsDidFinish},
      {"installLogsDidFinish:error:", &ZEBPrivilegedClientProtocol::installLogsDidFinish},
      {"copyLogFilesDidFinish:error:", &ZEBPrivilegedClientProtocol::copyLogFilesDidFinish},
  };
  for (const auto& [selector, member] : finishes)
    i->add(selector, {ArgType::kOptionalDictionary, ArgType::kOptionalError},
           [&c, m = member](const Array& a) { (c.*m)(resultArg(a[0]), errorArg(a[1])); });
  return i;
}

// ---- ZEBPrivilegedClientProxy ------------------------------------------------------------------

void ZEBPrivilegedClientProxy::finish(const char* selector, const ZEBResult& result, const ZEBOptionalError& error) {
  proxy_.send(selector, Array{Value::orNil(result), Value::orNil(error)});
}

void ZEBPrivilegedClientProxy::helperReadyWithVersion(const std::string& v) { proxy_.send("helperReadyWithVersion:", {Value(v)}); }
void ZEBPrivilegedClientProxy::logMessage(const std::string& m) { proxy_.send("logMessage:", {Value(m)}); }
void ZEBPrivilegedClientProxy::mobilityReportDidFinish(const ZEBResult& r, const ZEBOptionalError& e) { finish("mobilityReportDidFinish:error:", r, e); }
void ZEBPrivilegedClientProxy::sysDiagnoseDidFinish(const ZEBResult& r, const ZEBOptionalError& e) { finish("sysDiagnoseDidFinish:error:", r, e); }
void ZEBPrivilegedClientProxy::wifiDiagnoseDidFinish(const ZEBResult& r, const ZEBOptionalError& e) { finish("wifiDiagnoseDidFinish:error:", r, e); }
void ZEBPrivilegedClientProxy::sampleProcessDidFinish(const ZEBResult& r, const ZEBOptionalError& e) { finish("sampleProcessDidFinish:error:", r, e); }
void ZEBPrivilegedClientProxy::bluetoothDiagnoseDidFinish(const ZEBResult& r, const ZEBOptionalError& e) { finish("bluetoothDiagnoseDidFinish:error:", r, e); }
void ZEBPrivilegedClientProxy::TMDiagnoseDidFinish(const ZEBResult& r, const ZEBOptionalError& e) { finish("TMDiagnoseDidFinish:error:", r, e); }
void ZEBPrivilegedClientProxy::MDSDiagnoseDidFinish(const ZEBResult& r, const ZEBOptionalError& e) { finish("MDSDiagnoseDidFinish:error:", r, e); }
void ZEBPrivilegedClientProxy::syslogsDidFinish(const ZEBResult& r, const ZEBOptionalError& e) { finish("syslogsDidFinish:error:", r, e); }
void ZEBPrivilegedClientProxy::installLogsDidFinish(const ZEBResult& r, const ZEBOptionalError& e) { finish("installLogsDidFinish:error:", r, e); }
void ZEBPrivilegedClientProxy::copyLogFilesDidFinish(const ZEBResult& r, const ZEBOptionalError& e) { finish("copyLogFilesDidFinish:error:", r, e); }

// ---- ZEBPrivilegedDaemonProxy ------------------------------------------------------------------

void ZEBPrivilegedDaemonProxy::performReadyCheck() { proxy_.send("performReadyCheck", {}); }
void ZEBPrivilegedDaemonProxy::showPrivileges() { proxy_.send("showPrivileges", {}); }
void ZEBPrivilegedDaemonProxy::stopDaemon() { proxy_.send("stopDaemon", {}); }
void ZEBPrivilegedDaemonProxy::runMobilityReportWithDestination(const zeb::URL& d) { proxy_.send("runMobilityReportWithDestination:", {Value(d)}); }
void ZEBPrivilegedDaemonProxy::runSysdiagnoseWithDestination(const zeb::URL& d) { proxy_.send("runSysdiagnoseWithDestination:", {Value(d)}); }
void ZEBPrivilegedDaemonProxy::runWifiDiagnoseWithDestination(const zeb::URL& d) { proxy_.send("runWifiDiagnoseWithDestination:", {Value(d)}); }
void ZEBPrivilegedDaemonProxy::runBluetoothDiagnoseWithDestination(const zeb::URL& d, const std::string& user) {
  proxy_.send("runBluetoothDiagnoseWithDestination:shortUserName:", {Value(d), Value(user)});
}
void ZEBPrivilegedDaemonProxy::runTMDiagnoseWithDestination(const zeb::URL& d) { proxy_.send("runTMDiagnoseWithDestination:", {Value(d)}); }
void ZEBPrivilegedDaemonProxy::runMDSDiagnoseWithDestination(const zeb::URL& d) { proxy_.send("runMDSDiagnoseWithDestination:", {Value(d)}); }
void ZEBPrivilegedDaemonProxy::sampleProcessWithPID(std::uint64_t pid, const zeb::URL& d) {
  proxy_.send("sampleProcessWithPID:withDestination:", {Value(pid), Value(d)});
}
void ZEBPrivilegedDaemonProxy::gatherSyslogsWithDestination(const zeb::URL& d) { proxy_.send("gatherSyslogsWithDestination:", {Value(d)}); }
void ZEBPrivilegedDaemonProxy::gatherInstallLogsWithDestination(const zeb::URL& d) { proxy_.send("gatherInstallLogsWithDestination:", {Value(d)}); }
void ZEBPrivilegedDaemonProxy::copyLogFiles(const zeb::Dictionary& files) { proxy_.send("copyLogFiles:", {Value(files)}); }
