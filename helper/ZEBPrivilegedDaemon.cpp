#include "helper/ZEBPrivilegedDaemon.h"

#include <syslog.h>
#include <unistd.h>

#include "helper/files/Ownership.h"
#include "helper/files/PathPolicy.h"
#include "platform/codesign/CodeObject.h"
#include "platform/codesign/Requirement.h"
#include "platform/foundation/EmbeddedPlist.h"
#include "platform/foundation/Log.h"

using namespace zeb;

namespace {

// Every proxy shares this handler: an undeliverable callback ends the helper.
void remoteProxyErrorHandler(const Error& error) {
  systemLog(LOG_NOTICE, "privileged helper got an XPC error: %s", error.localizedDescription().c_str());
  flushAndExit(1);
}

}  // namespace

ZEBPrivilegedDaemon::ZEBPrivilegedDaemon(Options options)
    : options_(std::move(options)), placement_([this] { return clientUser(); }) {
  exportedInterface_ = makeDaemonInterface(*this);
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

  std::unique_ptr<codesign::CodeObject> code;
  codesign::OSStatus status = codesign::CodeObject::forProcess(static_cast<pid_t>(pid), conn->peerPidfd(), code);
  if (status != codesign::errSecSuccess) {
    systemLog(LOG_ERR, "ZEBPrivilegedDaemon SecCodeCreateWithPID returns error 0x%x\n", static_cast<unsigned>(status));
    return false;
  }
  const auto requirementText = authorizedClientReq();
  if (!requirementText) {
    systemLog(LOG_ERR, "ZEBPrivilegedDaemon couldn't find an authorized client requirement\n");
    return false;
  }
  std::unique_ptr<codesign::Requirement> requirement;
  status = codesign::Requirement::compile(*requirementText, requirement);
  if (status != codesign::errSecSuccess) {
    systemLog(LOG_ERR, "ZEBPrivilegedDaemon SecRequirementCreateWithString returns error 0x%x\n",
              static_cast<unsigned>(status));
    return false;
  }
  std::string why;
  status = code->checkValidity(requirement.get(), options_.anchorsDirectory, &why);
  if (status != codesign::errSecSuccess) {
    systemLog(LOG_CRIT, "ZEBPrivilegedDaemon SecCodeCheckValidity returns error %d (0x%x)\n", status,
              static_cast<unsigned>(status));
    systemLog(LOG_INFO, "Refused pid %ld: %s", pid, why.c_str());
    return false;
  }

  // Admitted. The proxy is in place before the connection starts reading, so that no request of
  // the new client can be answered on the one before.
  connection_.set(conn);
  conn->setExportedInterface(exportedInterface_);
  auto proxy = std::make_shared<ZEBPrivilegedClientProxy>(xpc::RemoteProxy(conn, remoteProxyErrorHandler));
  client_.set(proxy);
  conn->resume();
  if (!runningTasks_.get()) runningTasks_.set(std::make_shared<ZEBRunningTasks>());
  systemLog(LOG_NOTICE, "Connected to client %s over connection %s", proxy->description().c_str(),
            conn->description().c_str());
  return true;
}

void ZEBPrivilegedDaemon::performReadyCheck() {
  systemLog(LOG_NOTICE, "ZEBPrivilegedDaemon performReadyCheck: version: %s", kZEBHelperVersion);
  if (auto c = client()) c->helperReadyWithVersion(kZEBHelperVersion);
}

void ZEBPrivilegedDaemon::showPrivileges() {
  systemLog(LOG_NOTICE, "ZEBPrivilegedDaemon showPrivs");
  char text[128];
  std::snprintf(text, sizeof text, "Hello world! uid = %d, euid = %d, pid = %d", static_cast<int>(getuid()),
                static_cast<int>(geteuid()), static_cast<int>(getpid()));
  if (auto c = client()) c->logMessage(text);
}

void ZEBPrivilegedDaemon::stopDaemon() {
  systemLog(LOG_NOTICE, "Stopping.");
  terminateRunningTasks();
  client_.set(nullptr);
  flushAndExit(0);
}

uid_t ZEBPrivilegedDaemon::clientUser() const {
  auto conn = connection();
  return conn ? conn->effectiveUserIdentifier() : files::kNoUser;
}

bool ZEBPrivilegedDaemon::canModifyPath(std::string_view path) const { return files::canModifyPath(path); }

Error ZEBPrivilegedDaemon::accessDeniedErrorForPath(std::string_view path) const {
  return files::accessDeniedErrorForPath(path);
}

std::optional<std::string> ZEBPrivilegedDaemon::movePath(std::string_view source, std::string_view toDirectory,
                                                         std::int16_t permissions, Error* error) const {
  return placement_.movePath(source, toDirectory, permissions, error);
}

bool ZEBPrivilegedDaemon::fixPermissionsOfURL(const URL& url, bool recursively) const {
  return placement_.fixPermissionsOfURL(url, recursively);
}

std::vector<URL> ZEBPrivilegedDaemon::findEntriesInDirectory(const URL& directory, Date createdAfter,
                                                             const Regex& pattern) const {
  return placement_.findEntriesInDirectory(directory, createdAfter, pattern);
}
