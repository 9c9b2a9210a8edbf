// A TCP forwarder on 127.0.0.1 that holds every byte back for a fixed time in each direction, to
// put a round trip between a client and a local server. It has no throughput limit of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class LatencyProxy {
public:
  // Forwards connections made to port() on to 127.0.0.1:targetPort, each byte delayed by
  // `oneWayDelay` in each direction (the round trip grows by twice that).
  // After `maxConnections` connections, each further one is closed as soon as it is accepted, as by
  // a server that refuses more sessions.
  LatencyProxy(int targetPort, std::chrono::microseconds oneWayDelay, std::size_t maxConnections = SIZE_MAX);
  LatencyProxy(const LatencyProxy&) = delete;
  LatencyProxy& operator=(const LatencyProxy&) = delete;
  // Cuts every connection and stops.
  ~LatencyProxy();

  // 0 when the proxy could not start.
  [[nodiscard]] int port() const { return port_; }

private:
  struct Link;
  void acceptLoop();

  int targetPort_;
  std::chrono::microseconds delay_;
  std::size_t maxConnections_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex linksMutex_;
  std::vector<std::unique_ptr<Link>> links_;
  std::thread acceptor_;
};
