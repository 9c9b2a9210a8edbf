// Requests whose collectors are not built yet: they answer nothing.
#include <syslog.h>

#include "helper/ZEBPrivilegedDaemon.h"
#include "platform/foundation/Log.h"

using namespace zeb;

namespace {
void notYetAvailable(const char* selector) { systemLog(LOG_NOTICE, "%s is not available in this build", selector); }
}  // namespace

void ZEBPrivilegedDaemon::runMobilityReportWithDestination(const URL&) { notYetAvailable("runMobilityReportWithDestination:"); }
void ZEBPrivilegedDaemon::runSysdiagnoseWithDestination(const URL&) { notYetAvailable("runSysdiagnoseWithDestination:"); }
void ZEBPrivilegedDaemon::runWifiDiagnoseWithDestination(const URL&) { notYetAvailable("runWifiDiagnoseWithDestination:"); }
void ZEBPrivilegedDaemon::runBluetoothDiagnoseWithDestination(const URL&, const std::string&) {
  notYetAvailable("runBluetoothDiagnoseWithDestination:shortUserName:");
}
void ZEBPrivilegedDaemon::runTMDiagnoseWithDestination(const URL&) { notYetAvailable("runTMDiagnoseWithDestination:"); }
void ZEBPrivilegedDaemon::runMDSDiagnoseWithDestination(const URL&) { notYetAvailable("runMDSDiagnoseWithDestination:"); }
void ZEBPrivilegedDaemon::sampleProcessWithPID(std::uint64_t, const URL&) { notYetAvailable("sampleProcessWithPID:withDestination:"); }
