// Log requests not built yet: they answer nothing.
#include <syslog.h>

#include "helper/ZEBPrivilegedDaemon.h"
#include "platform/foundation/Log.h"

using namespace zeb;

namespace {
void notYetAvailable(const char* selector) { systemLog(LOG_NOTICE, "%s is not available in this build", selector); }
}  // namespace

void ZEBPrivilegedDaemon::gatherSyslogsWithDestination(const URL&) { notYetAvailable("gatherSyslogsWithDestination:"); }
void ZEBPrivilegedDaemon::gatherInstallLogsWithDestination(const URL&) { notYetAvailable("gatherInstallLogsWithDestination:"); }
void ZEBPrivilegedDaemon::copyLogFiles(const Dictionary&) { notYetAvailable("copyLogFiles:"); }
