// A client that ignores every callback: derive from it and override the callbacks a test counts.
#pragma once

#include "protocol/ZEBPrivilegedProtocols.h"

namespace zebtest {

class NullClient : public ZEBClientMessageSink {
 public:
  void received(const char*, const zeb::Array&) override {}
};

}  // namespace zebtest
