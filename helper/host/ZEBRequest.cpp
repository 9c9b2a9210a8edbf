#include "helper/host/ZEBRequest.h"

#include <syslog.h>

#include <utility>

#include "helper/files/Ownership.h"
#include "platform/foundation/Log.h"
#include "protocol/ZEBErrors.h"

using namespace zeb;

ZEBRequester ZEBRequester::of(std::shared_ptr<xpc::Connection> sender) {
  ZEBRequester requester;
  requester.uid = files::kNoUser;
  requester.gid = static_cast<gid_t>(files::kNoUser);
  if (auto c = std::move(sender)) {
    requester.uid = c->effectiveUserIdentifier();
    requester.gid = c->effectiveGroupIdentifier();
    requester.pid = c->processIdentifier();
    requester.connection = std::move(c);
  }
  return requester;
}

std::string ZEBRequester::description() const {
  return "pid " + std::to_string(pid) + " uid " + std::to_string(uid);
}

ZEBAnswer::ZEBAnswer(ClientSource client, ZEBFinishCallback callback, const char* selector)
    : client_(std::move(client)), callback_(callback), selector_(selector) {}

ZEBAnswer::ZEBAnswer(ZEBAnswer&& other) noexcept
    : client_(std::move(other.client_)),
      callback_(other.callback_),
      selector_(other.selector_),
      done_(std::exchange(other.done_, true)) {}

ZEBAnswer::~ZEBAnswer() {
  if (done_) return;
  systemLog(LOG_CRIT, "BUG: request answered by %s %s", selector_, kZEBUnansweredText);
  send(std::nullopt, Error::withDescription(std::string(kZEBDaemonErrorDomain), kZEBUnansweredErrorCode,
                                            "The request ended without an answer."));
}

void ZEBAnswer::send(const ZEBResult& result, const ZEBOptionalError& error) {
  if (done_) {
    systemLog(LOG_CRIT, "BUG: request answered by %s answered twice; the second answer is dropped", selector_);
    return;
  }
  done_ = true;
  if (!client_) return;
  if (auto c = client_()) ((*c).*callback_)(result, error);
}

void ZEBAnswer::abandon() {
  if (done_) return;
  done_ = true;
  systemLog(LOG_NOTICE, "A stop ended the request answered by %s: no answer is sent", selector_);
}
