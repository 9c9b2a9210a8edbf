// A client that ignores every callback: derive from it and override the callbacks a test counts.
#pragma once

#include "helper/ZEBPrivilegedProtocols.h"

namespace zebtest {

class NullClient : public ZEBPrivilegedClientProtocol {
 public:
  void helperReadyWithVersion(const std::string&) override {}
  void logMessage(const std::string&) override {}
  void mobilityReportDidFinish(const ZEBResult&, const ZEBOptionalError&) override {}
  void sysDiagnoseDidFinish(const ZEBResult&, const ZEBOptionalError&) override {}
  void wifiDiagnoseDidFinish(const ZEBResult&, const ZEBOptionalError&) override {}
  void sampleProcessDidFinish(const ZEBResult&, const ZEBOptionalError&) override {}
  void bluetoothDiagnoseDidFinish(const ZEBResult&, const ZEBOptionalError&) override {}
  void TMDiagnoseDidFinish(const ZEBResult&, const ZEBOptionalError&) override {}
  void MDSDiagnoseDidFinish(const ZEBResult&, const ZEBOptionalError&) override {}
  void syslogsDidFinish(const ZEBResult&, const ZEBOptionalError&) override {}
  void installLogsDidFinish(const ZEBResult&, const ZEBOptionalError&) override {}
  void copyLogFilesDidFinish(const ZEBResult&, const ZEBOptionalError&) override {}
};

}  // namespace zebtest
