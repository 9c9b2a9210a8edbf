// The two directions of the service: requests the client sends the daemon, and callbacks the daemon
// sends the client. Every method returns nothing; an answer is a separate call the other way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/RemoteProxy.h"

// What the daemon exports.
class ZEBPrivilegedDaemonProtocol {
 public:
  virtual ~ZEBPrivilegedDaemonProtocol() = default;
  virtual void performReadyCheck() = 0;
  virtual void showPrivileges() = 0;
  virtual void stopDaemon() = 0;
  virtual void runMobilityReportWithDestination(const zeb::URL& destination) = 0;
  virtual void runSysdiagnoseWithDestination(const zeb::URL& destination) = 0;
  virtual void runWifiDiagnoseWithDestination(const zeb::URL& destination) = 0;
  virtual void runBluetoothDiagnoseWithDestination(const zeb::URL& destination, const std::string& shortUserName) = 0;
  virtual void runTMDiagnoseWithDestination(const zeb::URL& destination) = 0;
  virtual void runMDSDiagnoseWithDestination(const zeb::URL& destination) = 0;
  virtual void sampleProcessWithPID(std::uint64_t pid, const zeb::URL& destination) = 0;
  virtual void gatherSyslogsWithDestination(const zeb::URL& destination) = 0;
  virtual void gatherInstallLogsWithDestination(const zeb::URL& destination) = 0;
  // Source path to destination path, all strings.
  virtual void copyLogFiles(const zeb::Dictionary& files) = 0;
};

// A result dictionary (or nil) and an error (or nil): the arguments of every "DidFinish" callback.
using ZEBResult = std::optional<zeb::Dictionary>;
using ZEBOptionalError = std::optional<zeb::Error>;

// What the client exports.
class ZEBPrivilegedClientProtocol {
 public:
  virtual ~ZEBPrivilegedClientProtocol() = default;
  virtual void helperReadyWithVersion(const std::string& version) = 0;
  virtual void logMessage(const std::string& message) = 0;
  virtual void mobilityReportDidFinish(const ZEBResult& result, const ZEBOptionalError& error) = 0;
  virtual void sysDiagnoseDidFinish(const ZEBResult& result, const ZEBOptionalError& error) = 0;
  virtual void wifiDiagnoseDidFinish(const ZEBResult& result, const ZEBOptionalError& error) = 0;
  virtual void sampleProcessDidFinish(const ZEBResult& result, const ZEBOptionalError& error) = 0;
  virtual void bluetoothDiagnoseDidFinish(const ZEBResult& result, const ZEBOptionalError& error) = 0;
  virtual void TMDiagnoseDidFinish(const ZEBResult& result, const ZEBOptionalError& error) = 0;
  virtual void MDSDiagnoseDidFinish(const ZEBResult& result, const ZEBOptionalError& error) = 0;
  virtual void syslogsDidFinish(const ZEBResult& result, const ZEBOptionalError& error) = 0;
  virtual void installLogsDidFinish(const ZEBResult& result, const ZEBOptionalError& error) = 0;
  virtual void copyLogFilesDidFinish(const ZEBResult& result, const ZEBOptionalError& error) = 0;
};

// The interface tables: every selector with its argument types, dispatching to an implementation
// that must outlive the interface.
std::shared_ptr<zeb::xpc::Interface> makeDaemonInterface(ZEBPrivilegedDaemonProtocol& daemon);
std::shared_ptr<zeb::xpc::Interface> makeClientInterface(ZEBPrivilegedClientProtocol& client);

// The client as the daemon sees it: each callback becomes a message.
class ZEBPrivilegedClientProxy final : public ZEBPrivilegedClientProtocol {
 public:
  explicit ZEBPrivilegedClientProxy(zeb::xpc::RemoteProxy proxy) : proxy_(std::move(proxy)) {}
  std::string description() const { return proxy_.description(); }

  void helperReadyWithVersion(const std::string& version) override;
  void logMessage(const std::string& message) override;
  void mobilityReportDidFinish(const ZEBResult& result, const ZEBOptionalError& error) override;
  void sysDiagnoseDidFinish(const ZEBResult& result, const ZEBOptionalError& error) override;
  void wifiDiagnoseDidFinish(const ZEBResult& result, const ZEBOptionalError& error) override;
  void sampleProcessDidFinish(const ZEBResult& result, const ZEBOptionalError& error) override;
  void bluetoothDiagnoseDidFinish(const ZEBResult& result, const ZEBOptionalError& error) override;
  void TMDiagnoseDidFinish(const ZEBResult& result, const ZEBOptionalError& error) override;
  void MDSDiagnoseDidFinish(const ZEBResult& result, const ZEBOptionalError& error) override;
  void syslogsDidFinish(const ZEBResult& result, const ZEBOptionalError& error) override;
  void installLogsDidFinish(const ZEBResult& result, const ZEBOptionalError& error) override;
  void copyLogFilesDidFinish(const ZEBResult& result, const ZEBOptionalError& error) override;

 private:
  void finish(const char* selector, const ZEBResult& result, const ZEBOptionalError& error);
  zeb::xpc::RemoteProxy proxy_;
};

// The daemon as a client sees it: each request becomes a message.
class ZEBPrivilegedDaemonProxy final : public ZEBPrivilegedDaemonProtocol {
 public:
  explicit ZEBPrivilegedDaemonProxy(zeb::xpc::RemoteProxy proxy) : proxy_(std::move(proxy)) {}

  void performReadyCheck() override;
  void showPrivileges() override;
  void stopDaemon() override;
  void runMobilityReportWithDestination(const zeb::URL& destination) override;
  void runSysdiagnoseWithDestination(const zeb::URL& destination) override;
  void runWifiDiagnoseWithDestination(const zeb::URL& destination) override;
  void runBluetoothDiagnoseWithDestination(const zeb::URL& destination, const std::string& shortUserName) override;
  void runTMDiagnoseWithDestination(const zeb::URL& destination) override;
  void runMDSDiagnoseWithDestination(const zeb::URL& destination) override;
  void sampleProcessWithPID(std::uint64_t pid, const zeb::URL& destination) override;
  void gatherSyslogsWithDestination(const zeb::URL& destination) override;
  void gatherInstallLogsWithDestination(const zeb::URL& destination) override;
  void copyLogFiles(const zeb::Dictionary& files) override;

 private:
  zeb::xpc::RemoteProxy proxy_;
};
