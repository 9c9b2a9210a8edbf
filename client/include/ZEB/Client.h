// libzeb-client: an app's connection to the privileged helper com.orvel.tessel.zeb.privileged.
// It connects to the helper's socket, answers the helper's challenge, sends the 13 requests as typed
// calls and hands the 12 callbacks to a Delegate, with typed results and errors.
//
// Thread model. Each Client has one thread of its own that reads the helper's callbacks; every
// Delegate member runs on that thread, one at a time, in the order the callbacks arrived. Every
// member of Client and of Expectation is safe to call from any thread, the delegate's included,
// except that Expectation::wait must not be called on the delegate's thread (the answer it waits
// for would be read by the thread it blocks). A Client no other thread is using may be destroyed on
// any thread, the delegate's too; once its destructor returns on another thread, no Delegate member
// is running or will run.
//
// Answers come as the helper's tools end, not in the order the requests were sent, and the helper
// sends each answer to the latest open connection of the requesting user: match an answer by its
// callback, not by its place in the sequence.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ZEB/Export.h"

namespace ZEB {

inline constexpr const char* kDefaultSocketPath = "/run/com.orvel.tessel.zeb.privileged.sock";

// Why a call of the library itself failed. An error the helper answers with is an Error instead.
enum class Failure {
  kNone,
  kNoSocket,          // nothing listens at the socket path
  kPermissionDenied,  // the socket's mode or group keeps this user out
  kRefused,           // the helper did not admit this executable (its code signature)
  kClosed,            // the connection has ended
  kTimedOut,          // no challenge, no answer or no send within the time given
  kInvalidArgument,   // a path that is not absolute, or a value the wire cannot carry
  kOther,
};

ZEB_CLIENT_EXPORT const char* failureName(Failure failure);

class Status {
 public:
  Status() = default;
  Status(Failure failure, std::string message) : failure_(failure), message_(std::move(message)) {}
  bool ok() const { return failure_ == Failure::kNone; }
  explicit operator bool() const { return ok(); }
  Failure failure() const { return failure_; }
  const std::string& message() const { return message_; }

 private:
  Failure failure_ = Failure::kNone;
  std::string message_;
};

// An error the helper answered with (its domain, code and user info).
struct Error {
  std::string domain;
  std::int64_t code = 0;
  // "NSLocalizedDescription"
  std::string localizedDescription;
  // "NSFilePath", on errors of file operations.
  std::optional<std::string> filePath;
  // "NSUnderlyingError": the POSIX error under a file operation's error.
  std::shared_ptr<const Error> underlying;
  // Every string entry of the user info, the two above included.
  std::map<std::string, std::string> userInfo;
};

// "fileErrors": a log request names the destination it could not use; a copy request names each
// source that was not copied, with the reason.
struct FileErrors {
  std::optional<std::string> destination;
  std::map<std::string, std::string> files;
};

// The result dictionary of a "DidFinish" callback.
struct Result {
  std::optional<std::string> filePath;      // "filePath"
  std::optional<std::uint64_t> pid;         // "pid" (process samples)
  std::optional<FileErrors> fileErrors;     // "fileErrors"
};

enum class Request {
  kPerformReadyCheck,
  kShowPrivileges,
  kStopDaemon,
  kMobilityReport,
  kSysdiagnose,
  kWifiDiagnose,
  kBluetoothDiagnose,
  kTMDiagnose,
  kMDSDiagnose,
  kSampleProcess,
  kSyslogs,
  kInstallLogs,
  kCopyLogFiles,
};

enum class Callback {
  kHelperReady,
  kLogMessage,
  kMobilityReport,
  kSysDiagnose,
  kWifiDiagnose,
  kSampleProcess,
  kBluetoothDiagnose,
  kTMDiagnose,
  kMDSDiagnose,
  kSyslogs,
  kInstallLogs,
  kCopyLogFiles,
};

// The selector text on the wire, e.g. "runSysdiagnoseWithDestination:".
ZEB_CLIENT_EXPORT const char* selectorOf(Request request);
ZEB_CLIENT_EXPORT const char* selectorOf(Callback callback);
// The callback that answers a request; none for kStopDaemon (the helper exits instead).
ZEB_CLIENT_EXPORT std::optional<Callback> answeringCallback(Request request);

// One callback as it arrived.
struct Answer {
  Callback callback = Callback::kHelperReady;
  std::string selector;
  // The version of "helperReadyWithVersion:", the message of "logMessage:".
  std::string text;
  std::optional<Result> result;
  std::optional<Error> error;
  // The whole callback as one line of JSON: {"args":[...],"callback":SELECTOR}.
  std::string json;
};

// Receives the helper's callbacks (on the client's own thread: see the thread model above). Every
// member does nothing unless overridden; didReceive runs after the typed member for every callback.
class ZEB_CLIENT_EXPORT Delegate {
 public:
  virtual ~Delegate();
  virtual void helperReadyWithVersion(const std::string& version);
  virtual void logMessage(const std::string& message);
  virtual void mobilityReportDidFinish(const std::optional<Result>& result, const std::optional<Error>& error);
  virtual void sysDiagnoseDidFinish(const std::optional<Result>& result, const std::optional<Error>& error);
  virtual void wifiDiagnoseDidFinish(const std::optional<Result>& result, const std::optional<Error>& error);
  virtual void sampleProcessDidFinish(const std::optional<Result>& result, const std::optional<Error>& error);
  virtual void bluetoothDiagnoseDidFinish(const std::optional<Result>& result, const std::optional<Error>& error);
  virtual void TMDiagnoseDidFinish(const std::optional<Result>& result, const std::optional<Error>& error);
  virtual void MDSDiagnoseDidFinish(const std::optional<Result>& result, const std::optional<Error>& error);
  virtual void syslogsDidFinish(const std::optional<Result>& result, const std::optional<Error>& error);
  virtual void installLogsDidFinish(const std::optional<Result>& result, const std::optional<Error>& error);
  virtual void copyLogFilesDidFinish(const std::optional<Result>& result, const std::optional<Error>& error);
  virtual void didReceive(const Answer& answer);
  // The connection ended (the helper stopped, or dropped us); runs once.
  virtual void connectionDidClose();
};

// Waits for the next answer to one kind of request. Made by Client::expect before the request is
// sent, so that an answer arriving at once is not missed.
class ZEB_CLIENT_EXPORT Expectation {
 public:
  Expectation();
  ~Expectation();
  Expectation(Expectation&&) noexcept;
  Expectation& operator=(Expectation&&) noexcept;

  // Blocks until the answer came (ok, `answer` filled), the time is up (kTimedOut) or the
  // connection ended without it (kClosed). For kStopDaemon, ok once the connection ended.
  Status wait(std::chrono::milliseconds timeout, Answer* answer = nullptr);

 private:
  friend class Client;
  struct State;
  std::shared_ptr<State> state_;
};

class ZEB_CLIENT_EXPORT Client {
 public:
  struct Options {
    std::string socketPath = kDefaultSocketPath;
    // How long the helper has to admit us and send its challenge.
    std::chrono::milliseconds handshakeTimeout{10000};
  };

  // Connects and completes the handshake; null with `status` set when that fails. `delegate` may be
  // null, and must otherwise outlive the client.
  static std::unique_ptr<Client> connect(const Options& options, Delegate* delegate, Status* status = nullptr);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // The requests. Each returns once the request is sent; its answer comes as a callback. Paths must
  // be absolute: they travel as file URLs.
  Status performReadyCheck();
  Status showPrivileges();
  Status stopDaemon();
  Status runMobilityReportWithDestination(const std::string& folder);
  Status runSysdiagnoseWithDestination(const std::string& folder);
  Status runWifiDiagnoseWithDestination(const std::string& folder);
  Status runBluetoothDiagnoseWithDestination(const std::string& folder, const std::string& shortUserName);
  Status runTMDiagnoseWithDestination(const std::string& folder);
  Status runMDSDiagnoseWithDestination(const std::string& folder);
  Status sampleProcessWithPID(std::uint64_t pid, const std::string& file);
  Status gatherSyslogsWithDestination(const std::string& folder);
  Status gatherInstallLogsWithDestination(const std::string& folder);
  // Source path to destination path.
  Status copyLogFiles(const std::map<std::string, std::string>& files);

  Expectation expect(Request request);

  bool isOpen() const;
  // True once the connection has ended; false when the time was up first.
  bool waitUntilClosed(std::chrono::milliseconds timeout);

 private:
  struct Impl;
  explicit Client(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

}  // namespace ZEB
