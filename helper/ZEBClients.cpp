#include "helper/ZEBClients.h"

#include <algorithm>

std::vector<ZEBClients::Admitted> ZEBClients::takeClosed() const {
  std::vector<Admitted> closed;
  auto open = std::stable_partition(admitted_.begin(), admitted_.end(),
                                    [](const Admitted& a) { return a.connection->isValid(); });
  std::move(open, admitted_.end(), std::back_inserter(closed));
  admitted_.erase(open, admitted_.end());
  return closed;
}

void ZEBClients::admit(std::shared_ptr<zeb::xpc::Connection> connection,
                       std::shared_ptr<ZEBPrivilegedClientProxy> proxy) {
  std::vector<Admitted> closed;  // released after the lock
  std::lock_guard lock(mutex_);
  closed = takeClosed();
  const uid_t uid = connection->effectiveUserIdentifier();
  admitted_.push_back(Admitted{uid, std::move(connection), std::move(proxy)});
}

std::shared_ptr<ZEBPrivilegedClientProxy> ZEBClients::latestOpenOf(uid_t uid) const {
  std::vector<Admitted> closed;
  std::lock_guard lock(mutex_);
  closed = takeClosed();
  for (auto it = admitted_.rbegin(); it != admitted_.rend(); ++it)
    if (it->uid == uid) return it->proxy;
  return nullptr;
}

bool ZEBClients::anyOpen() const {
  std::vector<Admitted> closed;
  std::lock_guard lock(mutex_);
  closed = takeClosed();
  return !admitted_.empty();
}

bool ZEBClients::anyOpenOfOthersThan(uid_t uid) const {
  std::vector<Admitted> closed;
  std::lock_guard lock(mutex_);
  closed = takeClosed();
  return std::any_of(admitted_.begin(), admitted_.end(), [uid](const Admitted& a) { return a.uid != uid; });
}
