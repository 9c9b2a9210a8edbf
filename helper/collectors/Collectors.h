// The diagnostic collectors: each serves one request, from the destination check to its one answer.
#pragma once

#include <cstdint>
#include <string>

#include "helper/ZEBRequest.h"
#include "platform/foundation/URL.h"

class ZEBPrivilegedDaemon;

namespace zeb::collectors {

void runMobilityReport(ZEBPrivilegedDaemon& daemon, ZEBRequest request, const URL& destination);
void runWifiDiagnose(ZEBPrivilegedDaemon& daemon, ZEBRequest request, const URL& destination);
void runBluetoothDiagnose(ZEBPrivilegedDaemon& daemon, ZEBRequest request, const URL& destination,
                          const std::string& shortUserName);
void sampleProcess(ZEBPrivilegedDaemon& daemon, ZEBRequest request, std::uint64_t pid, const URL& destination);
// The tools that write their report into the destination, found there afterwards.
void runSysdiagnose(ZEBPrivilegedDaemon& daemon, ZEBRequest request, const URL& destination);
void runTMDiagnose(ZEBPrivilegedDaemon& daemon, ZEBRequest request, const URL& destination);
void runMDSDiagnose(ZEBPrivilegedDaemon& daemon, ZEBRequest request, const URL& destination);

}  // namespace zeb::collectors
