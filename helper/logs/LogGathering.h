// Log gathering: the system and install log families packed into one zip archive each and moved
// into the requester's directory, and copies of single log files that a client names.
#pragma once

#include "helper/host/ZEBCollectorHost.h"
#include "helper/host/ZEBRequest.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace zeb::logs {

void gatherSyslogs(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination);
void gatherInstallLogs(ZEBCollectorHost& daemon, ZEBRequest request, const URL& destination);
void copyLogFiles(ZEBCollectorHost& daemon, ZEBRequest request, const Dictionary& files);

}  // namespace zeb::logs
