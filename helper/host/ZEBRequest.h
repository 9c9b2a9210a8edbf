// A request as a value: who sent it (taken from the connection it arrived on), and its answer,
// which is sent exactly once whatever path the request takes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "protocol/ZEBPrivilegedProtocols.h"
#include "platform/xpc/Connection.h"

// The identity of the connection that sent a request. The connection is kept for its pidfd, which
// pins the sending process for as long as the request lives, and so that a stop can close it.
struct ZEBRequester {
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  pid_t pid = -1;
  std::shared_ptr<zeb::xpc::Connection> connection;

  // The sender of a message, as its connection's peer; without a connection nobody, whose uid owns
  // nothing.
  static ZEBRequester of(std::shared_ptr<zeb::xpc::Connection> sender);
  bool isRoot() const { return uid == 0; }
  // "pid P uid U"
  std::string description() const;
};

// The one answer of a request: a "DidFinish" callback sent to the requester's user, to whichever of
// that user's connections is then the latest admitted one still open (the source decides). Move-only.
// An answer dropped unsent is a bug: it is logged as one and the client still gets the request's
// own callback with an error, never silence. Only a stop may end a request without an answer.
class ZEBAnswer {
 public:
  using ClientSource = std::function<std::shared_ptr<ZEBPrivilegedClientProtocol>()>;

  ZEBAnswer(ClientSource client, ZEBFinishCallback callback, const char* selector);
  ZEBAnswer(ZEBAnswer&& other) noexcept;
  ZEBAnswer& operator=(ZEBAnswer&&) = delete;
  ZEBAnswer(const ZEBAnswer&) = delete;
  ZEBAnswer& operator=(const ZEBAnswer&) = delete;
  ~ZEBAnswer();

  // Sends the answer; any later call is logged and sends nothing.
  void send(const ZEBResult& result, const ZEBOptionalError& error);
  // A stop ended the request: it is never answered.
  void abandon();

 private:
  ClientSource client_;
  ZEBFinishCallback callback_;
  const char* selector_;
  bool done_ = false;
};

struct ZEBRequest {
  ZEBRequester from;
  ZEBAnswer answer;

  // Shorthand for answer.send.
  void finish(const ZEBResult& result, const ZEBOptionalError& error) { answer.send(result, error); }
};

// A request held by a tool's completion (callbacks must be copyable): the answer still goes out once,
// when the last holder finishes it or lets it go.
using ZEBSharedRequest = std::shared_ptr<ZEBRequest>;
inline ZEBSharedRequest share(ZEBRequest request) { return std::make_shared<ZEBRequest>(std::move(request)); }

// The log line and error of an answer dropped unsent.
inline constexpr const char* kZEBUnansweredText = "ended without an answer";
