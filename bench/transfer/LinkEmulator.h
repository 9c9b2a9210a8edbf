// A shaped network link for the transfer benchmark: two network namespaces of their own, each with
// one tun device, and a forwarder process between the two devices that holds every packet back for
// a set one-way delay and drops a set fraction of them, in each direction. The kernel here has no
// netem; this stands in for it. It has no throughput limit of its own beyond the forwarder's speed
// (measure it: capacity() below).
//
// The namespaces are held only by descriptors of this object and by the processes inside them, so
// they vanish with the last of those however the benchmark ends: nothing named is left behind.
// Needs root.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

class LinkEmulator {
public:
  // Private to the two namespaces: nothing outside them sees these addresses.
  static constexpr const char* kServerAddress = "10.77.0.1";
  static constexpr const char* kClientAddress = "10.77.0.2";

  enum class Side { kServer, kClient };

  // What the forwarder did under one shape; [0] is client to server, [1] server to client.
  struct Counters {
    std::uint64_t forwarded[2] = {0, 0};
    std::uint64_t lost[2] = {0, 0};        // dropped on purpose
    std::uint64_t overflowed[2] = {0, 0};  // dropped for want of queue room: the emulator's own fault
    double cpuSeconds = 0;                 // the forwarder's user + system time
  };

  // Starts with no delay and no loss, at an MTU of `mtu` bytes.
  explicit LinkEmulator(int mtu = 1500);
  LinkEmulator(const LinkEmulator&) = delete;
  LinkEmulator& operator=(const LinkEmulator&) = delete;
  ~LinkEmulator();

  [[nodiscard]] bool ready() const { return forwarder_ > 0; }
  [[nodiscard]] const std::string& why() const { return why_; }

  // Applies to every packet read from now on (those queued keep their time); `previous` gets what
  // happened since the last call.
  bool shape(std::chrono::microseconds oneWay, double loss, Counters* previous = nullptr);

  // TCP congestion control in both namespaces (they start with the machine's default).
  bool setCongestionControl(const std::string& name);
  [[nodiscard]] std::string congestionControl();

  // Moves the calling thread (and so every process it forks from then on) into one side's
  // namespace, or back into the one it started in.
  bool enter(Side side);
  bool leave();

  // Forks a child that enters `side` and runs `body`, exiting with its result; it is killed when
  // this process ends. With `ownProcesses` the body runs as the first process of a PID namespace
  // of its own, so that whatever it forks (a server's sessions) is killed with it too. The child's
  // pid, or -1.
  pid_t spawn(Side side, const std::function<int()>& body, bool ownProcesses = false);

  struct Capacity {
    double megabytesPerSecond = 0;
    double connectMilliseconds = 0;  // one round trip: SYN out, SYN-ACK back
    double forwarderCpuSeconds = 0;
    Counters counters;
  };
  // One TCP connection from the client side to a sink on the server side, pushed for `duration`
  // under the current shape: what the link itself carries.
  Capacity capacity(std::chrono::milliseconds duration);

private:
  int rootNamespace_ = -1;
  int namespaces_[2] = {-1, -1};  // indexed by Side
  pid_t forwarder_ = -1;
  int control_ = -1;  // shapes to the forwarder
  int replies_ = -1;  // counters back
  std::chrono::microseconds oneWay_{0};
  double loss_ = 0;
  std::string why_;
};
