// The privileged helper: the listener's delegate, admission of clients by code signature, and the
// exported object of every admitted connection. Its table (in the .cpp) serves each request of the
// protocol (ZEBPrivilegedDaemonProtocol) for the connection it came on: the housekeeping ones by
// the members below, every other one as a ZEBRequest (who sent it, and its one answer) handed to
// the collector, gathering or copy that serves it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "helper/AtomicProperty.h"
#include "helper/TaskRunner.h"
#include "helper/ZEBClients.h"
#include "helper/files/FilePlacement.h"
#include "helper/host/ZEBCollectorHost.h"
#include "helper/host/ZEBRequest.h"
#include "platform/xpc/Listener.h"
#include "protocol/ZEBPrivilegedProtocols.h"

inline constexpr const char* kZEBHelperVersion = "0.84";

class ZEBPrivilegedDaemon final : public zeb::xpc::ListenerDelegate, public ZEBCollectorHost {
 public:
  explicit ZEBPrivilegedDaemon(Options options, TaskLimits limits = {});

  // The three properties.
  std::shared_ptr<zeb::xpc::Connection> connection() const { return connection_.get(); }
  std::shared_ptr<ZEBPrivilegedClientProxy> client() const { return client_.get(); }
  std::shared_ptr<ZEBRunningTasks> runningTasks() const { return tasks_.registry(); }

  // Admission.
  bool shouldAcceptNewConnection(zeb::xpc::Listener& listener,
                                 const std::shared_ptr<zeb::xpc::Connection>& connection) override;
  // The single entry of SMAuthorizedClients in the embedded info dictionary, read anew each time.
  static std::optional<std::string> authorizedClientReq();

  // The housekeeping requests, each from the sender of its message. The others go straight from
  // the table to the collector or log gathering function that serves them.
  void performReadyCheck(const ZEBRequester& from);
  void showPrivileges(const ZEBRequester& from);
  // Root's stop ends every tool and the daemon; another user's ends that user's tools, and the
  // daemon only when no other user has a connection open or a tool running or waiting.
  void stopDaemon(const ZEBRequester& from);

  // A request from `from`, answered by `Callback` to the latest open connection of its uid.
  template <ZEBFinishCallback Callback>
  ZEBRequest request(ZEBRequester from) const {
    const uid_t uid = from.uid;
    return ZEBRequest{std::move(from), ZEBAnswer([this, uid] { return clientOf(uid); }, Callback,
                                                 kZEBSelector<Callback>)};
  }

  // The client that hears answers for `uid`: its latest admitted connection still open. With none,
  // the answer is dropped (and logged); when no admitted connection of anyone is open any more, the
  // daemon ends with status 1.
  std::shared_ptr<ZEBPrivilegedClientProtocol> clientOf(uid_t uid) const;

  // The task runner: a tool for the user who sent a request, in that user's slots.
  void runCommand(const ZEBRequester& requester, const std::string& command, std::vector<std::string> arguments,
                  TaskSetup setup, TaskCallback callback, TaskLaunchFailure failed, TaskStopped stopped) override {
    tasks_.run(requester.uid, command, std::move(arguments), std::move(setup), std::move(callback), std::move(failed),
               std::move(stopped));
  }
  void terminateRunningTasks() { tasks_.terminateAll(); }

  // Path policy.
  bool canModifyPath(std::string_view path) const;
  zeb::Error accessDeniedErrorForPath(std::string_view path) const;

  zeb::files::FilePlacement placement(const ZEBRequester& requester) const override {
    return zeb::files::FilePlacement(requester.uid);
  }

  const Options& options() const override { return options_; }

 private:
  // A callback to a client could not be delivered: that connection is done with; the daemon ends
  // (status 1) once no admitted connection is open.
  void deliveryFailed(const std::weak_ptr<zeb::xpc::Connection>& connection, const zeb::Error& error) const;
  [[noreturn]] void stopEverything();

  Options options_;
  std::shared_ptr<zeb::xpc::Interface> exportedInterface_;
  AtomicProperty<zeb::xpc::Connection> connection_;
  AtomicProperty<ZEBPrivilegedClientProxy> client_;
  ZEBClients clients_;
  TaskRunner tasks_;
  std::mutex admissionMutex_;
};
