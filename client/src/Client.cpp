#include "ZEB/Client.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "client/ZEBClientConnection.h"
#include "platform/xpc/XpcErrors.h"

namespace ZEB {
namespace {

using nlohmann::json;
using D = ZEBPrivilegedDaemonProtocol;
using C = ZEBPrivilegedClientProtocol;

// One row per callback: its enum, and the member of Delegate it calls.
struct CallbackRow {
  Callback callback;
  const char* selector;
  void (Delegate::*finished)(const std::optional<Result>&, const std::optional<Error>&);
};
const CallbackRow kCallbacks[] = {
    {Callback::kHelperReady, kZEBSelector<&C::helperReadyWithVersion>, nullptr},
    {Callback::kLogMessage, kZEBSelector<&C::logMessage>, nullptr},
    {Callback::kMobilityReport, kZEBSelector<&C::mobilityReportDidFinish>, &Delegate::mobilityReportDidFinish},
    {Callback::kSysDiagnose, kZEBSelector<&C::sysDiagnoseDidFinish>, &Delegate::sysDiagnoseDidFinish},
    {Callback::kWifiDiagnose, kZEBSelector<&C::wifiDiagnoseDidFinish>, &Delegate::wifiDiagnoseDidFinish},
    {Callback::kSampleProcess, kZEBSelector<&C::sampleProcessDidFinish>, &Delegate::sampleProcessDidFinish},
    {Callback::kBluetoothDiagnose, kZEBSelector<&C::bluetoothDiagnoseDidFinish>, &Delegate::bluetoothDiagnoseDidFinish},
    {Callback::kTMDiagnose, kZEBSelector<&C::TMDiagnoseDidFinish>, &Delegate::TMDiagnoseDidFinish},
    {Callback::kMDSDiagnose, kZEBSelector<&C::MDSDiagnoseDidFinish>, &Delegate::MDSDiagnoseDidFinish},
    {Callback::kSyslogs, kZEBSelector<&C::syslogsDidFinish>, &Delegate::syslogsDidFinish},
    {Callback::kInstallLogs, kZEBSelector<&C::installLogsDidFinish>, &Delegate::installLogsDidFinish},
    {Callback::kCopyLogFiles, kZEBSelector<&C::copyLogFilesDidFinish>, &Delegate::copyLogFilesDidFinish},
};

struct RequestRow {
  Request request;
  const char* selector;
  std::optional<Callback> answer;
};
const RequestRow kRequests[] = {
    {Request::kPerformReadyCheck, kZEBSelector<&D::performReadyCheck>, Callback::kHelperReady},
    {Request::kShowPrivileges, kZEBSelector<&D::showPrivileges>, Callback::kLogMessage},
    {Request::kStopDaemon, kZEBSelector<&D::stopDaemon>, std::nullopt},
    {Request::kMobilityReport, kZEBSelector<&D::runMobilityReportWithDestination>, Callback::kMobilityReport},
    {Request::kSysdiagnose, kZEBSelector<&D::runSysdiagnoseWithDestination>, Callback::kSysDiagnose},
    {Request::kWifiDiagnose, kZEBSelector<&D::runWifiDiagnoseWithDestination>, Callback::kWifiDiagnose},
    {Request::kBluetoothDiagnose, kZEBSelector<&D::runBluetoothDiagnoseWithDestination>, Callback::kBluetoothDiagnose},
    {Request::kTMDiagnose, kZEBSelector<&D::runTMDiagnoseWithDestination>, Callback::kTMDiagnose},
    {Request::kMDSDiagnose, kZEBSelector<&D::runMDSDiagnoseWithDestination>, Callback::kMDSDiagnose},
    {Request::kSampleProcess, kZEBSelector<&D::sampleProcessWithPID>, Callback::kSampleProcess},
    {Request::kSyslogs, kZEBSelector<&D::gatherSyslogsWithDestination>, Callback::kSyslogs},
    {Request::kInstallLogs, kZEBSelector<&D::gatherInstallLogsWithDestination>, Callback::kInstallLogs},
    {Request::kCopyLogFiles, kZEBSelector<&D::copyLogFiles>, Callback::kCopyLogFiles},
};

json toJson(const zeb::Value& v);

json errorJson(const zeb::Error& e) {
  json info = json::object();
  for (const auto& [k, x] : e.userInfo()) info[k] = toJson(x);
  return json{{"domain", e.domain()}, {"code", e.code()}, {"userInfo", info}};
}

json toJson(const zeb::Value& v) {
  using K = zeb::Value::Kind;
  switch (v.kind()) {
    case K::kNil: return nullptr;
    case K::kBool: return *v.asBool();
    case K::kInt: return *v.asInt();
    case K::kUInt: return *v.asUInt();
    case K::kDouble: return *v.asDouble();
    case K::kString: return *v.asString();
    case K::kData: {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string hex;
      for (auto b : *v.asData()) {
        hex.push_back(kHex[b >> 4]);
        hex.push_back(kHex[b & 15]);
      }
      return hex;
    }
    case K::kURL: return v.asURL()->absoluteString();
    case K::kArray: {
      json a = json::array();
      for (const auto& e : *v.asArray()) a.push_back(toJson(e));
      return a;
    }
    case K::kDictionary: {
      json o = json::object();
      for (const auto& [k, e] : *v.asDictionary()) o[k] = toJson(e);
      return o;
    }
    case K::kError: return errorJson(*v.asError());
  }
  return nullptr;
}

Error errorOf(const zeb::Error& e) {
  Error out;
  out.domain = e.domain();
  out.code = e.code();
  out.localizedDescription = e.localizedDescription();
  for (const auto& [key, value] : e.userInfo()) {
    if (const auto* s = value.asString()) out.userInfo.emplace(key, *s);
    if (key == zeb::kFilePathErrorKey && value.asString()) out.filePath = *value.asString();
    if (key == zeb::kUnderlyingErrorKey && value.asError())
      out.underlying = std::make_shared<const Error>(errorOf(*value.asError()));
  }
  return out;
}

Result resultOf(const zeb::Dictionary& d) {
  Result out;
  if (auto it = d.find("filePath"); it != d.end()) {
    if (const auto* s = it->second.asString()) out.filePath = *s;
    else if (const auto* u = it->second.asURL()) out.filePath = u->path();
  }
  if (auto it = d.find("pid"); it != d.end()) {
    if (const auto* n = it->second.asUInt()) out.pid = *n;
    else if (const auto* i = it->second.asInt(); i && *i >= 0) out.pid = static_cast<std::uint64_t>(*i);
  }
  if (auto it = d.find("fileErrors"); it != d.end()) {
    FileErrors errors;
    if (const auto* s = it->second.asString()) errors.destination = *s;
    if (const auto* files = it->second.asDictionary())
      for (const auto& [source, why] : *files) errors.files.emplace(source, why.asString() ? *why.asString() : toJson(why).dump());
    out.fileErrors = std::move(errors);
  }
  return out;
}

Status failureOf(const zeb::Error& e) {
  const std::string text = e.localizedDescription();
  if (e.domain() == zeb::kPOSIXErrorDomain) {
    switch (e.code()) {
      case ENOENT:
      case ECONNREFUSED:
      case ENOTDIR: return {Failure::kNoSocket, text};
      case EACCES:
      case EPERM: return {Failure::kPermissionDenied, text};
      case ETIMEDOUT: return {Failure::kTimedOut, text};
      default: return {Failure::kOther, text};
    }
  }
  if (zeb::xpc::isXpcError(e, zeb::xpc::kXpcConnectionInvalid)) return {Failure::kRefused, text};
  return {Failure::kOther, text};
}

bool absolute(const std::string& path) { return !path.empty() && path[0] == '/' && path.find('\0') == std::string::npos; }

}  // namespace

const char* failureName(Failure failure) {
  switch (failure) {
    case Failure::kNone: return "none";
    case Failure::kNoSocket: return "no socket";
    case Failure::kPermissionDenied: return "permission denied";
    case Failure::kRefused: return "refused";
    case Failure::kClosed: return "closed";
    case Failure::kTimedOut: return "timed out";
    case Failure::kInvalidArgument: return "invalid argument";
    case Failure::kOther: return "other";
  }
  return "other";
}

const char* selectorOf(Request request) {
  for (const auto& row : kRequests)
    if (row.request == request) return row.selector;
  return "";
}

const char* selectorOf(Callback callback) {
  for (const auto& row : kCallbacks)
    if (row.callback == callback) return row.selector;
  return "";
}

std::optional<Callback> answeringCallback(Request request) {
  for (const auto& row : kRequests)
    if (row.request == request) return row.answer;
  return std::nullopt;
}

Delegate::~Delegate() = default;
void Delegate::helperReadyWithVersion(const std::string&) {}
void Delegate::logMessage(const std::string&) {}
void Delegate::mobilityReportDidFinish(const std::optional<Result>&, const std::optional<Error>&) {}
void Delegate::sysDiagnoseDidFinish(const std::optional<Result>&, const std::optional<Error>&) {}
void Delegate::wifiDiagnoseDidFinish(const std::optional<Result>&, const std::optional<Error>&) {}
void Delegate::sampleProcessDidFinish(const std::optional<Result>&, const std::optional<Error>&) {}
void Delegate::bluetoothDiagnoseDidFinish(const std::optional<Result>&, const std::optional<Error>&) {}
void Delegate::TMDiagnoseDidFinish(const std::optional<Result>&, const std::optional<Error>&) {}
void Delegate::MDSDiagnoseDidFinish(const std::optional<Result>&, const std::optional<Error>&) {}
void Delegate::syslogsDidFinish(const std::optional<Result>&, const std::optional<Error>&) {}
void Delegate::installLogsDidFinish(const std::optional<Result>&, const std::optional<Error>&) {}
void Delegate::copyLogFilesDidFinish(const std::optional<Result>&, const std::optional<Error>&) {}
void Delegate::didReceive(const Answer&) {}
void Delegate::connectionDidClose() {}

struct Expectation::State {
  std::optional<Callback> awaited;  // none: the connection's end
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<Answer> answer;
  bool closed = false;
};

Expectation::Expectation() = default;
Expectation::~Expectation() = default;
Expectation::Expectation(Expectation&&) noexcept = default;
Expectation& Expectation::operator=(Expectation&&) noexcept = default;

Status Expectation::wait(std::chrono::milliseconds timeout, Answer* answer) {
  if (!state_) return {Failure::kInvalidArgument, "an empty expectation"};
  std::unique_lock lock(state_->mutex);
  state_->cv.wait_for(lock, timeout, [&] { return state_->answer || state_->closed; });
  if (state_->answer) {
    if (answer) *answer = *state_->answer;
    return {};
  }
  if (state_->closed) {
    if (!state_->awaited) return {};
    return {Failure::kClosed, "the connection ended before the answer came"};
  }
  return {Failure::kTimedOut, "no answer within the time given"};
}

// Receives every callback as one message, keeps the delegate and the expectations; kept alive by
// the connection's thread as long as it runs.
struct __attribute__((visibility("hidden"))) Client::Impl final : ZEBClientMessageSink {
  std::unique_ptr<ZEBClientConnection> connection;

  // Held while a delegate member runs, so that a destructor on another thread can wait it out.
  std::mutex callMutex;
  std::atomic<std::thread::id> callingThread{};
  Delegate* delegate = nullptr;  // guarded by callMutex

  std::mutex mutex;
  std::vector<std::weak_ptr<Expectation::State>> expectations;
  bool closed = false;

  void received(const char* selector, const zeb::Array& args) override {
    Answer answer;
    const CallbackRow* row = nullptr;
    for (const auto& r : kCallbacks)
      if (std::string_view(r.selector) == selector) row = &r;
    if (!row) return;
    answer.callback = row->callback;
    answer.selector = selector;
    if (args.size() == 1 && args[0].asString()) answer.text = *args[0].asString();
    if (args.size() == 2) {
      if (const auto* d = args[0].asDictionary()) answer.result = resultOf(*d);
      if (const auto* e = args[1].asError()) answer.error = errorOf(*e);
    }
    json a = json::array();
    for (const auto& v : args) a.push_back(toJson(v));
    answer.json = json{{"callback", selector}, {"args", a}}.dump(-1, ' ', false, json::error_handler_t::replace);

    {
      std::lock_guard call(callMutex);
      callingThread = std::this_thread::get_id();
      if (delegate) {
        if (row->callback == Callback::kHelperReady) delegate->helperReadyWithVersion(answer.text);
        else if (row->callback == Callback::kLogMessage) delegate->logMessage(answer.text);
        else (delegate->*row->finished)(answer.result, answer.error);
      }
      if (delegate) delegate->didReceive(answer);
      callingThread = std::thread::id{};
    }
    fulfil(&answer);
  }

  // Hands the answer to the oldest expectation waiting for it, or ends every expectation.
  void fulfil(const Answer* answer) {
    std::vector<std::shared_ptr<Expectation::State>> ended;
    {
      std::lock_guard lock(mutex);
      if (!answer) closed = true;
      for (auto it = expectations.begin(); it != expectations.end();) {
        auto state = it->lock();
        if (!state) {
          it = expectations.erase(it);
        } else if (!answer || state->awaited == answer->callback) {
          ended.push_back(std::move(state));
          it = expectations.erase(it);
          if (answer) break;
        } else {
          ++it;
        }
      }
    }
    for (const auto& state : ended) {
      std::lock_guard lock(state->mutex);
      if (answer) state->answer = *answer;
      else state->closed = true;
      state->cv.notify_all();
    }
  }

  void didClose() {
    {
      std::lock_guard call(callMutex);
      callingThread = std::this_thread::get_id();
      if (delegate) delegate->connectionDidClose();
      callingThread = std::thread::id{};
    }
    fulfil(nullptr);
  }

  Status send(const char* selector, const zeb::Array& arguments) {
    if (!connection->connection()->isValid()) return {Failure::kClosed, "the connection has ended"};
    auto sent = connection->connection()->send(selector, arguments);
    if (sent.ok()) return {};
    const std::string text = sent.error().localizedDescription();
    if (text.find("timed out") != std::string::npos) return {Failure::kTimedOut, text};
    if (text.find("too large") != std::string::npos) return {Failure::kInvalidArgument, text};
    return {Failure::kClosed, text};
  }

  template <auto Member, typename... Args>
  Status call(const Args&... args) {
    return send(kZEBSelector<Member>, zeb::protocol_detail::arguments<Member>(args...));
  }
  template <auto Member>
  Status callWithPath(const std::string& path) {
    if (!absolute(path)) return {Failure::kInvalidArgument, "not an absolute path: " + path};
    return call<Member>(zeb::URL::fileURLWithPath(path));
  }
};

Client::Client(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Client> Client::connect(const Options& options, Delegate* delegate, Status* status) {
  auto impl = std::make_shared<Impl>();
  impl->delegate = delegate;
  std::weak_ptr<Impl> weak = impl;
  auto conn = ZEBClientConnection::connect(
      options.socketPath, *impl, options.handshakeTimeout, impl,
      [weak] {
        if (auto self = weak.lock()) self->didClose();
      });
  if (!conn.ok()) {
    if (status) *status = failureOf(conn.error());
    return nullptr;
  }
  impl->connection = std::move(*conn);
  if (status) *status = {};
  return std::unique_ptr<Client>(new Client(std::move(impl)));
}

Client::~Client() {
  {
    // On the delegate's own thread the lock is already held by the callback under way.
    std::unique_lock<std::mutex> call;
    if (impl_->callingThread.load() != std::this_thread::get_id()) call = std::unique_lock(impl_->callMutex);
    impl_->delegate = nullptr;
  }
  impl_->connection->connection()->invalidate();
}

Status Client::performReadyCheck() { return impl_->call<&D::performReadyCheck>(); }
Status Client::showPrivileges() { return impl_->call<&D::showPrivileges>(); }
Status Client::stopDaemon() { return impl_->call<&D::stopDaemon>(); }
Status Client::runMobilityReportWithDestination(const std::string& f) { return impl_->callWithPath<&D::runMobilityReportWithDestination>(f); }
Status Client::runSysdiagnoseWithDestination(const std::string& f) { return impl_->callWithPath<&D::runSysdiagnoseWithDestination>(f); }
Status Client::runWifiDiagnoseWithDestination(const std::string& f) { return impl_->callWithPath<&D::runWifiDiagnoseWithDestination>(f); }
Status Client::runBluetoothDiagnoseWithDestination(const std::string& f, const std::string& user) {
  if (!absolute(f)) return {Failure::kInvalidArgument, "not an absolute path: " + f};
  return impl_->call<&D::runBluetoothDiagnoseWithDestination>(zeb::URL::fileURLWithPath(f), user);
}
Status Client::runTMDiagnoseWithDestination(const std::string& f) { return impl_->callWithPath<&D::runTMDiagnoseWithDestination>(f); }
Status Client::runMDSDiagnoseWithDestination(const std::string& f) { return impl_->callWithPath<&D::runMDSDiagnoseWithDestination>(f); }
Status Client::sampleProcessWithPID(std::uint64_t pid, const std::string& file) {
  if (!absolute(file)) return {Failure::kInvalidArgument, "not an absolute path: " + file};
  return impl_->call<&D::sampleProcessWithPID>(pid, zeb::URL::fileURLWithPath(file));
}
Status Client::gatherSyslogsWithDestination(const std::string& f) { return impl_->callWithPath<&D::gatherSyslogsWithDestination>(f); }
Status Client::gatherInstallLogsWithDestination(const std::string& f) {
  return impl_->callWithPath<&D::gatherInstallLogsWithDestination>(f);
}
Status Client::copyLogFiles(const std::map<std::string, std::string>& files) {
  zeb::Dictionary d;
  for (const auto& [source, destination] : files) d.insert_or_assign(source, zeb::Value(destination));
  return impl_->call<&D::copyLogFiles>(d);
}

Expectation Client::expect(Request request) {
  Expectation e;
  e.state_ = std::make_shared<Expectation::State>();
  e.state_->awaited = answeringCallback(request);
  std::lock_guard lock(impl_->mutex);
  if (impl_->closed) e.state_->closed = true;
  else impl_->expectations.push_back(e.state_);
  return e;
}

bool Client::isOpen() const { return impl_->connection->connection()->isValid() && !impl_->connection->waitUntilClosed({}); }

bool Client::waitUntilClosed(std::chrono::milliseconds timeout) { return impl_->connection->waitUntilClosed(timeout); }

}  // namespace ZEB
