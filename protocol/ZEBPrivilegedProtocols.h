// The two directions of the service: requests the client sends the daemon, and callbacks the daemon
// sends the client. Every method returns nothing; an answer is a separate call the other way.
//
// Each message is described once, by the member it calls and its selector (ZEBSelector below).
// The exported interfaces, the proxies and zebctl's table are all derived from that description:
// argument types come from the member's signature, so a table and a member can't disagree.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

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

// A "DidFinish" callback.
using ZEBFinishCallback = void (ZEBPrivilegedClientProtocol::*)(const ZEBResult&, const ZEBOptionalError&);

// The selector of each message: the only place its text is written. A member without one does not
// compile where a selector is asked for.
template <auto Member>
struct ZEBSelector;

#define ZEB_SELECTOR(member, text)      \
  template <>                           \
  struct ZEBSelector<&member> {         \
    static constexpr const char* kText = text; \
  }

ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::performReadyCheck, "performReadyCheck");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::showPrivileges, "showPrivileges");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::stopDaemon, "stopDaemon");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::runMobilityReportWithDestination, "runMobilityReportWithDestination:");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::runSysdiagnoseWithDestination, "runSysdiagnoseWithDestination:");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::runWifiDiagnoseWithDestination, "runWifiDiagnoseWithDestination:");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::runBluetoothDiagnoseWithDestination,
             "runBluetoothDiagnoseWithDestination:shortUserName:");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::runTMDiagnoseWithDestination, "runTMDiagnoseWithDestination:");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::runMDSDiagnoseWithDestination, "runMDSDiagnoseWithDestination:");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::sampleProcessWithPID, "sampleProcessWithPID:withDestination:");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::gatherSyslogsWithDestination, "gatherSyslogsWithDestination:");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::gatherInstallLogsWithDestination, "gatherInstallLogsWithDestination:");
ZEB_SELECTOR(ZEBPrivilegedDaemonProtocol::copyLogFiles, "copyLogFiles:");

ZEB_SELECTOR(ZEBPrivilegedClientProtocol::helperReadyWithVersion, "helperReadyWithVersion:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::logMessage, "logMessage:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::mobilityReportDidFinish, "mobilityReportDidFinish:error:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::sysDiagnoseDidFinish, "sysDiagnoseDidFinish:error:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::wifiDiagnoseDidFinish, "wifiDiagnoseDidFinish:error:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::sampleProcessDidFinish, "sampleProcessDidFinish:error:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::bluetoothDiagnoseDidFinish, "bluetoothDiagnoseDidFinish:error:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::TMDiagnoseDidFinish, "TMDiagnoseDidFinish:error:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::MDSDiagnoseDidFinish, "MDSDiagnoseDidFinish:error:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::syslogsDidFinish, "syslogsDidFinish:error:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::installLogsDidFinish, "installLogsDidFinish:error:");
ZEB_SELECTOR(ZEBPrivilegedClientProtocol::copyLogFilesDidFinish, "copyLogFilesDidFinish:error:");

#undef ZEB_SELECTOR

template <auto Member>
inline constexpr const char* kZEBSelector = ZEBSelector<Member>::kText;

// The members of each direction, in one list each.
template <auto... Members>
struct ZEBMessageList {};

using ZEBDaemonRequests = ZEBMessageList<
    &ZEBPrivilegedDaemonProtocol::performReadyCheck, &ZEBPrivilegedDaemonProtocol::showPrivileges,
    &ZEBPrivilegedDaemonProtocol::stopDaemon, &ZEBPrivilegedDaemonProtocol::runMobilityReportWithDestination,
    &ZEBPrivilegedDaemonProtocol::runSysdiagnoseWithDestination, &ZEBPrivilegedDaemonProtocol::runWifiDiagnoseWithDestination,
    &ZEBPrivilegedDaemonProtocol::runBluetoothDiagnoseWithDestination,
    &ZEBPrivilegedDaemonProtocol::runTMDiagnoseWithDestination, &ZEBPrivilegedDaemonProtocol::runMDSDiagnoseWithDestination,
    &ZEBPrivilegedDaemonProtocol::sampleProcessWithPID, &ZEBPrivilegedDaemonProtocol::gatherSyslogsWithDestination,
    &ZEBPrivilegedDaemonProtocol::gatherInstallLogsWithDestination, &ZEBPrivilegedDaemonProtocol::copyLogFiles>;

using ZEBClientCallbacks = ZEBMessageList<
    &ZEBPrivilegedClientProtocol::helperReadyWithVersion, &ZEBPrivilegedClientProtocol::logMessage,
    &ZEBPrivilegedClientProtocol::mobilityReportDidFinish, &ZEBPrivilegedClientProtocol::sysDiagnoseDidFinish,
    &ZEBPrivilegedClientProtocol::wifiDiagnoseDidFinish, &ZEBPrivilegedClientProtocol::sampleProcessDidFinish,
    &ZEBPrivilegedClientProtocol::bluetoothDiagnoseDidFinish, &ZEBPrivilegedClientProtocol::TMDiagnoseDidFinish,
    &ZEBPrivilegedClientProtocol::MDSDiagnoseDidFinish, &ZEBPrivilegedClientProtocol::syslogsDidFinish,
    &ZEBPrivilegedClientProtocol::installLogsDidFinish, &ZEBPrivilegedClientProtocol::copyLogFilesDidFinish>;

namespace zeb::protocol_detail {

// The wire type of each parameter type a protocol member may have.
template <typename T>
struct Wire;
template <>
struct Wire<zeb::URL> {
  static constexpr xpc::ArgType kType = xpc::ArgType::kURL;
  static const zeb::URL& get(const Value& v) { return *v.asURL(); }
  static Value put(const zeb::URL& u) { return Value(u); }
};
template <>
struct Wire<std::string> {
  static constexpr xpc::ArgType kType = xpc::ArgType::kString;
  static const std::string& get(const Value& v) { return *v.asString(); }
  static Value put(const std::string& s) { return Value(s); }
};
template <>
struct Wire<std::uint64_t> {
  static constexpr xpc::ArgType kType = xpc::ArgType::kUInt64;
  static std::uint64_t get(const Value& v) { return *v.asUInt(); }
  static Value put(std::uint64_t n) { return Value(n); }
};
template <>
struct Wire<Dictionary> {
  static constexpr xpc::ArgType kType = xpc::ArgType::kStringDictionary;
  static const Dictionary& get(const Value& v) { return *v.asDictionary(); }
  static Value put(const Dictionary& d) { return Value(d); }
};
template <>
struct Wire<ZEBResult> {
  static constexpr xpc::ArgType kType = xpc::ArgType::kOptionalDictionary;
  static ZEBResult get(const Value& v) { return v.asDictionary() ? ZEBResult(*v.asDictionary()) : std::nullopt; }
  static Value put(const ZEBResult& r) { return Value::orNil(r); }
};
template <>
struct Wire<ZEBOptionalError> {
  static constexpr xpc::ArgType kType = xpc::ArgType::kOptionalError;
  static ZEBOptionalError get(const Value& v) { return v.asError() ? ZEBOptionalError(*v.asError()) : std::nullopt; }
  static Value put(const ZEBOptionalError& e) { return Value::orNil(e); }
};

template <typename Member>
struct MemberTraits;
template <typename C, typename... Args>
struct MemberTraits<void (C::*)(Args...)> {
  using Class = C;
  using Params = std::tuple<std::remove_cvref_t<Args>...>;
};

// Adds the message of `Member` to the interface: its selector, its argument types, and `handler`,
// called with the sending connection and the arguments as the member's parameters.
template <auto Member, typename Handler>
void bindMessage(xpc::Interface& interface, Handler handler) {
  using Params = typename MemberTraits<decltype(Member)>::Params;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    interface.add(kZEBSelector<Member>, {Wire<std::tuple_element_t<I, Params>>::kType...},
                  [handler = std::move(handler)](const std::shared_ptr<xpc::Connection>& sender, const Array& a) {
                    handler(sender, Wire<std::tuple_element_t<I, Params>>::get(a[I])...);
                  });
  }(std::make_index_sequence<std::tuple_size_v<Params>>{});
}

// Adds the member to the interface, called on `object` whoever sent the message.
template <auto Member>
void bind(xpc::Interface& interface, typename MemberTraits<decltype(Member)>::Class& object) {
  bindMessage<Member>(interface, [&object](const std::shared_ptr<xpc::Connection>&, const auto&... args) {
    (object.*Member)(args...);
  });
}

template <typename Class, auto... Members>
std::shared_ptr<xpc::Interface> makeInterface(std::string name, Class& object, ZEBMessageList<Members...>) {
  auto interface = std::make_shared<xpc::Interface>(std::move(name));
  (bind<Members>(*interface, object), ...);
  return interface;
}

// The message that calls `Member` with these arguments.
template <auto Member, typename... Args>
Array arguments(const Args&... args) {
  using Params = typename MemberTraits<decltype(Member)>::Params;
  static_assert(sizeof...(Args) == std::tuple_size_v<Params>);
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return Array{Wire<std::tuple_element_t<I, Params>>::put(args)...};
  }(std::make_index_sequence<sizeof...(Args)>{});
}

}  // namespace zeb::protocol_detail

// The name the daemon's table goes by (in the connection's log lines).
inline constexpr const char* kZEBDaemonInterfaceName = "ZEBPrivilegedDaemon";

// The interface tables, derived from the lists above; the implementation must outlive them.
std::shared_ptr<zeb::xpc::Interface> makeDaemonInterface(ZEBPrivilegedDaemonProtocol& daemon);
std::shared_ptr<zeb::xpc::Interface> makeClientInterface(ZEBPrivilegedClientProtocol& client);

// Every callback as one call of `received(selector, arguments)`: the daemon's proxy of its client,
// zebctl's printer and test clients are all this.
class ZEBClientMessageSink : public ZEBPrivilegedClientProtocol {
 public:
  virtual void received(const char* selector, const zeb::Array& arguments) = 0;

  void helperReadyWithVersion(const std::string& v) override { pass<&P::helperReadyWithVersion>(v); }
  void logMessage(const std::string& m) override { pass<&P::logMessage>(m); }
  void mobilityReportDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override { pass<&P::mobilityReportDidFinish>(r, e); }
  void sysDiagnoseDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override { pass<&P::sysDiagnoseDidFinish>(r, e); }
  void wifiDiagnoseDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override { pass<&P::wifiDiagnoseDidFinish>(r, e); }
  void sampleProcessDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override { pass<&P::sampleProcessDidFinish>(r, e); }
  void bluetoothDiagnoseDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override { pass<&P::bluetoothDiagnoseDidFinish>(r, e); }
  void TMDiagnoseDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override { pass<&P::TMDiagnoseDidFinish>(r, e); }
  void MDSDiagnoseDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override { pass<&P::MDSDiagnoseDidFinish>(r, e); }
  void syslogsDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override { pass<&P::syslogsDidFinish>(r, e); }
  void installLogsDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override { pass<&P::installLogsDidFinish>(r, e); }
  void copyLogFilesDidFinish(const ZEBResult& r, const ZEBOptionalError& e) override { pass<&P::copyLogFilesDidFinish>(r, e); }

 private:
  using P = ZEBPrivilegedClientProtocol;
  template <auto Member, typename... Args>
  void pass(const Args&... args) {
    received(kZEBSelector<Member>, zeb::protocol_detail::arguments<Member>(args...));
  }
};

// The client as the daemon sees it: each callback becomes a message.
class ZEBPrivilegedClientProxy final : public ZEBClientMessageSink {
 public:
  explicit ZEBPrivilegedClientProxy(zeb::xpc::RemoteProxy proxy) : proxy_(std::move(proxy)) {}
  std::string description() const { return proxy_.description(); }
  void received(const char* selector, const zeb::Array& arguments) override { proxy_.send(selector, arguments); }

 private:
  zeb::xpc::RemoteProxy proxy_;
};

// The daemon as a client sees it: each request becomes a message.
class ZEBPrivilegedDaemonProxy final : public ZEBPrivilegedDaemonProtocol {
 public:
  explicit ZEBPrivilegedDaemonProxy(zeb::xpc::RemoteProxy proxy) : proxy_(std::move(proxy)) {}

  void performReadyCheck() override { call<&P::performReadyCheck>(); }
  void showPrivileges() override { call<&P::showPrivileges>(); }
  void stopDaemon() override { call<&P::stopDaemon>(); }
  void runMobilityReportWithDestination(const zeb::URL& d) override { call<&P::runMobilityReportWithDestination>(d); }
  void runSysdiagnoseWithDestination(const zeb::URL& d) override { call<&P::runSysdiagnoseWithDestination>(d); }
  void runWifiDiagnoseWithDestination(const zeb::URL& d) override { call<&P::runWifiDiagnoseWithDestination>(d); }
  void runBluetoothDiagnoseWithDestination(const zeb::URL& d, const std::string& user) override {
    call<&P::runBluetoothDiagnoseWithDestination>(d, user);
  }
  void runTMDiagnoseWithDestination(const zeb::URL& d) override { call<&P::runTMDiagnoseWithDestination>(d); }
  void runMDSDiagnoseWithDestination(const zeb::URL& d) override { call<&P::runMDSDiagnoseWithDestination>(d); }
  void sampleProcessWithPID(std::uint64_t pid, const zeb::URL& d) override { call<&P::sampleProcessWithPID>(pid, d); }
  void gatherSyslogsWithDestination(const zeb::URL& d) override { call<&P::gatherSyslogsWithDestination>(d); }
  void gatherInstallLogsWithDestination(const zeb::URL& d) override { call<&P::gatherInstallLogsWithDestination>(d); }
  void copyLogFiles(const zeb::Dictionary& files) override { call<&P::copyLogFiles>(files); }

 private:
  using P = ZEBPrivilegedDaemonProtocol;
  template <auto Member, typename... Args>
  void call(const Args&... args) {
    proxy_.send(kZEBSelector<Member>, zeb::protocol_detail::arguments<Member>(args...));
  }
  zeb::xpc::RemoteProxy proxy_;
};
