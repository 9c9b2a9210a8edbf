#include "helper/ZEBPrivilegedDaemon.h"

#include <syslog.h>
#include <unistd.h>

#include "helper/collectors/Collectors.h"
#include "helper/files/Ownership.h"
#include "helper/logs/LogGathering.h"
#include "helper/files/LogText.h"
#include "helper/files/PathPolicy.h"
#include "helper/files/PrivatePlace.h"
#include "platform/codesign/CodeObject.h"
#include "platform/codesign/Requirement.h"
#include "platform/foundation/EmbeddedPlist.h"
#include "platform/foundation/Log.h"

using namespace zeb;

constexpr const char* kXPCErrorLine = "privileged helper got an XPC error: %s";

namespace {

using P = ZEBPrivilegedDaemonProtocol;
using D = ZEBPrivilegedDaemon;
using CP = ZEBPrivilegedClientProtocol;
using Sender = std::shared_ptr<xpc::Connection>;

// The rows of the table. A housekeeping request is served by the member of its name, given its
// sender.
template <auto Request, auto Member>
struct ByMember {
  static constexpr auto kRequest = Request;
  static void add(xpc::Interface& table, D& daemon) {
    protocol_detail::bindMessage<Request>(table, [&daemon](const Sender& sender, const auto&... arguments) {
      (daemon.*Member)(ZEBRequester::of(sender), arguments...);
    });
  }
};

// Every other request becomes a ZEBRequest of its sender, answered by `Callback`, for the collector
// or log gathering function that serves it.
template <auto Request, ZEBFinishCallback Callback, auto Serve>
struct ByRequest {
  static constexpr auto kRequest = Request;
  static void add(xpc::Interface& table, D& daemon) {
    protocol_detail::bindMessage<Request>(table, [&daemon](const Sender& sender, const auto&... arguments) {
      Serve(daemon, daemon.request<Callback>(ZEBRequester::of(sender)), arguments...);
    });
  }
};

template <typename... Rows>
std::shared_ptr<xpc::Interface> makeTable(D& daemon) {
  static_assert(std::is_same_v<ZEBMessageList<Rows::kRequest...>, ZEBDaemonRequests>,
                "the table serves every request of the protocol, in its order");
  auto table = std::make_shared<xpc::Interface>(kZEBDaemonInterfaceName);
  (Rows::add(*table, daemon), ...);
  return table;
}

}  // namespace

ZEBPrivilegedDaemon::ZEBPrivilegedDaemon(Options options, TaskLimits limits)
    : options_(std::move(options)), tasks_(limits) {
  exportedInterface_ = makeTable<
      ByMember<&P::performReadyCheck, &D::performReadyCheck>, ByMember<&P::showPrivileges, &D::showPrivileges>,
      ByMember<&P::stopDaemon, &D::stopDaemon>,
      ByRequest<&P::runMobilityReportWithDestination, &CP::mobilityReportDidFinish, collectors::runMobilityReport>,
      ByRequest<&P::runSysdiagnoseWithDestination, &CP::sysDiagnoseDidFinish, collectors::runSysdiagnose>,
      ByRequest<&P::runWifiDiagnoseWithDestination, &CP::wifiDiagnoseDidFinish, collectors::runWifiDiagnose>,
      ByRequest<&P::runBluetoothDiagnoseWithDestination, &CP::bluetoothDiagnoseDidFinish,
                collectors::runBluetoothDiagnose>,
      ByRequest<&P::runTMDiagnoseWithDestination, &CP::TMDiagnoseDidFinish, collectors::runTMDiagnose>,
      ByRequest<&P::runMDSDiagnoseWithDestination, &CP::MDSDiagnoseDidFinish, collectors::runMDSDiagnose>,
      ByRequest<&P::sampleProcessWithPID, &CP::sampleProcessDidFinish, collectors::sampleProcess>,
      ByRequest<&P::gatherSyslogsWithDestination, &CP::syslogsDidFinish, logs::gatherSyslogs>,
      ByRequest<&P::gatherInstallLogsWithDestination, &CP::installLogsDidFinish, logs::gatherInstallLogs>,
      ByRequest<&P::copyLogFiles, &CP::copyLogFilesDidFinish, logs::copyLogFiles>>(*this);
}

std::optional<std::string> ZEBPrivilegedDaemon::authorizedClientReq() {
  auto value = objectForInfoDictionaryKey("SMAuthorizedClients");
  if (!value || !value->asArray() || value->asArray()->size() != 1) return std::nullopt;
  const Value& last = value->asArray()->back();
  if (!last.asString()) return std::nullopt;
  return *last.asString();
}

bool ZEBPrivilegedDaemon::shouldAcceptNewConnection(xpc::Listener&, const std::shared_ptr<xpc::Connection>& conn) {
  systemLog(LOG_NOTICE, "ZEBPrivilegedDaemon should accept?");
  const long pid = conn->processIdentifier();

  auto code = codesign::CodeObject::forProcess(static_cast<pid_t>(pid), conn->peerPidfd());
  if (!code.ok()) {
    systemLog(LOG_ERR, "ZEBPrivilegedDaemon SecCodeCreateWithPID returns error 0x%x\n",
              static_cast<unsigned>(codesign::statusOf(code.error())));
    return false;
  }
  const auto requirementText = authorizedClientReq();
  if (!requirementText) {
    systemLog(LOG_ERR, "ZEBPrivilegedDaemon couldn't find an authorized client requirement\n");
    return false;
  }
  auto requirement = codesign::Requirement::compile(*requirementText);
  if (!requirement.ok()) {
    systemLog(LOG_ERR, "ZEBPrivilegedDaemon SecRequirementCreateWithString returns error 0x%x\n",
              static_cast<unsigned>(codesign::statusOf(requirement.error())));
    return false;
  }
  if (auto valid = (*code)->checkValidity(requirement->get(), options_.anchorsDirectory); !valid.ok()) {
    const codesign::OSStatus status = codesign::statusOf(valid.error());
    systemLog(LOG_CRIT, "ZEBPrivilegedDaemon SecCodeCheckValidity returns error %d (0x%x)\n", status,
              static_cast<unsigned>(status));
    systemLog(LOG_INFO, "Refused pid %ld: %s", pid, files::printableText(valid.error().localizedDescription()).c_str());
    return false;
  }

  // Admitted. The proxy is in place before the connection starts reading, so that no request of
  // the new client can be answered on the one before. Admissions run concurrently: the connection
  // and its proxy change together, so the latest admitted is one client, not half of two.
  std::lock_guard admitted(admissionMutex_);
  connection_.set(conn);
  conn->setExportedInterface(exportedInterface_);
  std::weak_ptr<xpc::Connection> weak = conn;
  auto proxy = std::make_shared<ZEBPrivilegedClientProxy>(
      xpc::RemoteProxy(conn, [this, weak](const Error& error) { deliveryFailed(weak, error); }));
  client_.set(proxy);
  clients_.admit(conn, proxy);
  conn->resume();
  systemLog(LOG_NOTICE, "Connected to client %s over connection %s", proxy->description().c_str(),
            conn->description().c_str());
  return true;
}

std::shared_ptr<ZEBPrivilegedClientProtocol> ZEBPrivilegedDaemon::clientOf(uid_t uid) const {
  if (auto proxy = clients_.latestOpenOf(uid)) return proxy;
  systemLog(LOG_NOTICE, kXPCErrorLine, ("no open connection of uid " + std::to_string(uid)).c_str());
  if (!clients_.anyOpen()) flushAndExit(1);
  return nullptr;
}

void ZEBPrivilegedDaemon::deliveryFailed(const std::weak_ptr<xpc::Connection>& connection, const Error& error) const {
  systemLog(LOG_NOTICE, kXPCErrorLine, files::printableText(error.localizedDescription()).c_str());
  // A send that failed part-way leaves the stream unusable; nothing more goes to that client.
  if (auto c = connection.lock()) c->invalidate();
  if (!clients_.anyOpen()) flushAndExit(1);
}

void ZEBPrivilegedDaemon::performReadyCheck(const ZEBRequester& from) {
  systemLog(LOG_NOTICE, "ZEBPrivilegedDaemon performReadyCheck: version: %s", kZEBHelperVersion);
  if (auto c = clientOf(from.uid)) c->helperReadyWithVersion(kZEBHelperVersion);
}

void ZEBPrivilegedDaemon::showPrivileges(const ZEBRequester& from) {
  systemLog(LOG_NOTICE, "ZEBPrivilegedDaemon showPrivs");
  char text[128];
  std::snprintf(text, sizeof text, "Hello world! uid = %d, euid = %d, pid = %d", static_cast<int>(getuid()),
                static_cast<int>(geteuid()), static_cast<int>(getpid()));
  if (auto c = clientOf(from.uid)) c->logMessage(text);
}

void ZEBPrivilegedDaemon::stopDaemon(const ZEBRequester& from) {
  if (from.isRoot()) stopEverything();
  // Another user's stop ends that user's work; the daemon only when nobody else needs it.
  systemLog(LOG_NOTICE, "Stopping the tools of %s", from.description().c_str());
  tasks_.stopUser(from.uid);
  if (!clients_.anyOpenOfOthersThan(from.uid) && !tasks_.hasToolsOfOthersThan(from.uid)) stopEverything();
  systemLog(LOG_NOTICE, "Other users are still served: not stopping");
  // The sender sees its stop end as a stop does: its connection closes.
  if (from.connection) from.connection->invalidate();
}

void ZEBPrivilegedDaemon::stopEverything() {
  systemLog(LOG_NOTICE, "Stopping.");
  terminateRunningTasks();
  client_.set(nullptr);
  files::PrivatePlace::removeAll();
  flushAndExit(0);
}

bool ZEBPrivilegedDaemon::canModifyPath(std::string_view path) const { return files::canModifyPath(path); }

Error ZEBPrivilegedDaemon::accessDeniedErrorForPath(std::string_view path) const {
  return files::accessDeniedErrorForPath(path);
}
