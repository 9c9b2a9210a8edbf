#include "protocol/ZEBPrivilegedProtocols.h"

std::shared_ptr<zeb::xpc::Interface> makeDaemonInterface(ZEBPrivilegedDaemonProtocol& daemon) {
  return zeb::protocol_detail::makeInterface(kZEBDaemonInterfaceName, daemon, ZEBDaemonRequests{});
}

std::shared_ptr<zeb::xpc::Interface> makeClientInterface(ZEBPrivilegedClientProtocol& client) {
  return zeb::protocol_detail::makeInterface("ZEBPrivilegedClient", client, ZEBClientCallbacks{});
}
