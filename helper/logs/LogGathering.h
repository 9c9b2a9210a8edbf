// Log gathering: the system and install log families packed into one zip archive each and moved
// into the requester's directory, and copies of single log files that a client names.
#pragma once

#include "helper/ZEBRequest.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

class ZEBPrivilegedDaemon;

namespace zeb::logs {

void gatherSyslogs(ZEBPrivilegedDaemon& daemon, ZEBRequest request, const URL& destination);
void gatherInstallLogs(ZEBPrivilegedDaemon& daemon, ZEBRequest request, const URL& destination);
void copyLogFiles(ZEBPrivilegedDaemon& daemon, ZEBRequest request, const Dictionary& files);

}  // namespace zeb::logs
