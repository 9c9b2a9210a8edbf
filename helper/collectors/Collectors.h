// The diagnostic collectors: each serves one request, from the destination check to its one answer.
#pragma once

#include <cstdint>
#include <string>

#include "helper/host/ZEBCollectorHost.h"
#include "helper/host/ZEBRequest.h"
#include "platform/foundation/URL.h"

namespace zeb::collectors {

void runMobilityReport(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination);
void runWifiDiagnose(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination);
void runBluetoothDiagnose(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination,
                          const std::string& shortUserName);
void sampleProcess(ZEBCollectorHost& daemon, ZEBRequest request, std::uint64_t pid, const URL& destination);
// The tools that write their report into the destination, found there afterwards.
void runSysdiagnose(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination);
void runTMDiagnose(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination);
void runMDSDiagnose(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination);

}  // namespace zeb::collectors
