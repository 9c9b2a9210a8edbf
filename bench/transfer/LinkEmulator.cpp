#include "LinkEmulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr const char* kDevice = "frx0";
// Room for 32768 packets each way: 1 GB/s for 40 ms at 1500 bytes. Pages are touched only as the
// queue grows, so a slow link costs little memory.
constexpr std::size_t kQueuePackets = 32768;
// Packets read from one device before the forwarder looks at the other one again.
constexpr int kReadBatch = 64;
constexpr int kSinkPort = 5201;

struct Shape {
  std::int64_t oneWayNanoseconds;
  double loss;
};

std::int64_t nowNanoseconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool readWhole(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool writeWhole(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

sockaddr_in ipv4(const char* address, int port = 0) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

// Brings `name` up in the calling thread's namespace, with a point-to-point address when given.
bool configureDevice(const char* name, const char* local, const char* peer, int mtu) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  bool ok = true;
  auto request = [&](unsigned long what, auto&& fill) {
    ifreq r{};
    std::strncpy(r.ifr_name, name, IFNAMSIZ - 1);
    fill(r);
    if (ok && ioctl(s, what, &r) != 0) ok = false;
    return r;
  };
  auto address = [](const char* text) {
    sockaddr_in a = ipv4(text);
    sockaddr raw{};
    std::memcpy(&raw, &a, sizeof a);
    return raw;
  };
  if (local != nullptr) {
    request(SIOCSIFADDR, [&](ifreq& r) { r.ifr_addr = address(local); });
    request(SIOCSIFDSTADDR, [&](ifreq& r) { r.ifr_dstaddr = address(peer); });
    request(SIOCSIFNETMASK, [&](ifreq& r) { r.ifr_netmask = address("255.255.255.255"); });
    request(SIOCSIFMTU, [&](ifreq& r) { r.ifr_mtu = mtu; });
    // The kernel's queue in front of the forwarder: deep enough that a burst waits instead of
    // being dropped while the forwarder is busy with the other direction.
    request(SIOCSIFTXQLEN, [&](ifreq& r) { r.ifr_qlen = 10000; });
  }
  ifreq flags = request(SIOCGIFFLAGS, [](ifreq&) {});
  request(SIOCSIFFLAGS, [&](ifreq& r) { r.ifr_flags = static_cast<short>(flags.ifr_flags | IFF_UP | IFF_RUNNING); });
  close(s);
  return ok;
}

bool writeSysctl(const char* path, const char* value) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = writeWhole(fd, value, std::strlen(value));
  close(fd);
  return ok;
}

// One direction of the link: packets in arrival order, each with the time it may leave. A fixed
// delay keeps them in order, so a ring is enough.
class Direction {
public:
  Direction(int in, int out, std::size_t slotBytes)
      : in_(in), out_(out), slotBytes_(slotBytes), storage_(new unsigned char[kQueuePackets * slotBytes]),
        slots_(kQueuePackets) {}

  // Reads what the device has (up to a batch), stamping each packet with now + delay.
  bool readable(const Shape& shape, std::uint64_t& random, LinkEmulator::Counters& counters, int index) {
    for (int i = 0; i < kReadBatch; ++i) {
      unsigned char* data = storage_.get() + tail_ * slotBytes_;
      unsigned char scratch[65536];
      const bool full = count_ == kQueuePackets;
      ssize_t n = read(in_, full ? scratch : data, full ? sizeof scratch : slotBytes_);
      if (n < 0) return errno == EAGAIN || errno == EINTR;
      if (n == 0) return false;
      random ^= random << 13;
      random ^= random >> 7;
      random ^= random << 17;
      const double draw = static_cast<double>(random >> 11) / 9007199254740992.0;
      if (full) {
        ++counters.overflowed[index];
      } else if (draw < shape.loss) {
        ++counters.lost[index];
      } else {
        slots_[tail_] = {nowNanoseconds() + shape.oneWayNanoseconds, static_cast<std::uint32_t>(n)};
        tail_ = (tail_ + 1) % kQueuePackets;
        ++count_;
      }
    }
    return true;
  }

  // Sends every packet whose time has come; the time the next one is due, or -1.
  std::int64_t release(std::int64_t now, LinkEmulator::Counters& counters, int index) {
    while (count_ > 0 && slots_[head_].due <= now) {
      // A tun write hands the packet to the stack at once; a failure is a packet lost, as on a
      // wire.
      (void)!write(out_, storage_.get() + head_ * slotBytes_, slots_[head_].length);
      ++counters.forwarded[index];
      head_ = (head_ + 1) % kQueuePackets;
      --count_;
    }
    return count_ > 0 ? slots_[head_].due : -1;
  }

private:
  struct Slot {
    std::int64_t due;
    std::uint32_t length;
  };
  int in_;
  int out_;
  std::size_t slotBytes_;
  std::unique_ptr<unsigned char[]> storage_;
  std::vector<Slot> slots_;
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  std::size_t count_ = 0;
};

[[noreturn]] void forward(int clientTun, int serverTun, int control, int replies, int mtu) {
  const std::size_t slotBytes = static_cast<std::size_t>(mtu) + 64;
  Direction directions[2] = {Direction(clientTun, serverTun, slotBytes), Direction(serverTun, clientTun, slotBytes)};
  Shape shape{0, 0};
  std::uint64_t random = 0x2545F4914F6CDD1Dull;
  LinkEmulator::Counters counters;
  double cpuAtShape = cpuSeconds();
  for (;;) {
    const std::int64_t now = nowNanoseconds();
    std::int64_t next = -1;
    for (int d = 0; d < 2; ++d) {
      const std::int64_t due = directions[d].release(now, counters, d);
      if (due >= 0 && (next < 0 || due < next)) next = due;
    }
    pollfd fds[3] = {{clientTun, POLLIN, 0}, {serverTun, POLLIN, 0}, {control, POLLIN, 0}};
    timespec wait{};
    if (next >= 0) {
      const std::int64_t left = std::max<std::int64_t>(0, next - nowNanoseconds());
      wait.tv_sec = static_cast<time_t>(left / 1000000000);
      wait.tv_nsec = static_cast<long>(left % 1000000000);
    }
    if (ppoll(fds, 3, next >= 0 ? &wait : nullptr, nullptr) < 0 && errno != EINTR) _exit(1);
    for (int d = 0; d < 2; ++d) {
      if ((fds[d].revents & POLLIN) != 0 && !directions[d].readable(shape, random, counters, d)) _exit(1);
    }
    if (fds[2].revents != 0) {
      if (!readWhole(control, &shape, sizeof shape)) _exit(0);  // the owner is gone
      const double cpu = cpuSeconds();
      counters.cpuSeconds = cpu - cpuAtShape;
      cpuAtShape = cpu;
      if (!writeWhole(replies, &counters, sizeof counters)) _exit(0);
      counters = LinkEmulator::Counters{};
    }
  }
}

int openTun() {
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  ifreq r{};
  // With a virtio header the device may leave TCP checksums to "hardware", as a real NIC does: the
  // header travels with the packet to the other device, and neither stack sums the bytes in
  // software, which was most of the forwarder's cost per packet. No segmentation offload: every
  // packet stays one MTU-sized wire packet, so each loss is one packet lost.
  r.ifr_flags = IFF_TUN | IFF_NO_PI | IFF_VNET_HDR;
  std::strncpy(r.ifr_name, kDevice, IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &r) != 0 || ioctl(fd, TUNSETOFFLOAD, TUN_F_CSUM) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

LinkEmulator::LinkEmulator(int mtu) {
  if (geteuid() != 0) {
    why_ = "needs root (network namespaces and tun devices)";
    return;
  }
  rootNamespace_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  for (int& ns : namespaces_) {
    if (unshare(CLONE_NEWNET) != 0) {
      why_ = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
      return;
    }
    ns = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (setns(rootNamespace_, CLONE_NEWNET) != 0 || ns < 0) {
      why_ = "cannot switch network namespaces";
      return;
    }
  }
  int toForwarder[2];
  int fromForwarder[2];
  if (pipe2(toForwarder, O_CLOEXEC) != 0 || pipe2(fromForwarder, O_CLOEXEC) != 0) {
    why_ = "pipe failed";
    return;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    // Wake for each packet's time, not up to 50 µs after it.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    close(toForwarder[1]);
    close(fromForwarder[0]);
    int tuns[2] = {-1, -1};
    const char* locals[2] = {kServerAddress, kClientAddress};
    char status = 1;
    for (int side = 0; side < 2; ++side) {
      // Each device is made in the namespace the thread is in; the addresses and settings below
      // belong to that namespace too.
      if (setns(namespaces_[side], CLONE_NEWNET) != 0 || (tuns[side] = openTun()) < 0 ||
          !configureDevice(kDevice, locals[side], locals[1 - side], mtu) ||
          !configureDevice("lo", nullptr, nullptr, 0) ||
          // Each run starts from the same TCP state: no ssthresh remembered from a lossy one.
          !writeSysctl("/proc/sys/net/ipv4/tcp_no_metrics_save", "1")) {
        (void)!write(fromForwarder[1], &status, 1);
        _exit(1);
      }
    }
    status = 0;
    if (!writeWhole(fromForwarder[1], &status, 1)) _exit(1);
    forward(tuns[static_cast<int>(Side::kClient)], tuns[static_cast<int>(Side::kServer)], toForwarder[0],
            fromForwarder[1], mtu);
  }
  close(toForwarder[0]);
  close(fromForwarder[1]);
  control_ = toForwarder[1];
  replies_ = fromForwarder[0];
  char status = 1;
  if (pid < 0 || !readWhole(replies_, &status, 1) || status != 0) {
    why_ = "the forwarder could not set up the tun devices";
    if (pid > 0) waitpid(pid, nullptr, 0);
    return;
  }
  forwarder_ = pid;
}

LinkEmulator::~LinkEmulator() {
  if (control_ >= 0) close(control_);  // the forwarder's cue to exit
  if (replies_ >= 0) close(replies_);
  if (forwarder_ > 0) waitpid(forwarder_, nullptr, 0);
  for (int ns : namespaces_) {
    if (ns >= 0) close(ns);
  }
  if (rootNamespace_ >= 0) {
    setns(rootNamespace_, CLONE_NEWNET);
    close(rootNamespace_);
  }
}

bool LinkEmulator::shape(std::chrono::microseconds oneWay, double loss, Counters* previous) {
  if (!ready()) return false;
  const Shape shape{static_cast<std::int64_t>(oneWay.count()) * 1000, loss};
  Counters counters;
  if (!writeWhole(control_, &shape, sizeof shape) || !readWhole(replies_, &counters, sizeof counters)) return false;
  oneWay_ = oneWay;
  loss_ = loss;
  if (previous != nullptr) *previous = counters;
  return true;
}

bool LinkEmulator::setCongestionControl(const std::string& name) {
  bool ok = ready();
  for (Side side : {Side::kServer, Side::kClient}) {
    ok = ok && enter(side) && writeSysctl("/proc/sys/net/ipv4/tcp_congestion_control", name.c_str());
  }
  return leave() && ok;
}

std::string LinkEmulator::congestionControl() {
  std::string name;
  if (!enter(Side::kClient)) return name;
  int fd = open("/proc/sys/net/ipv4/tcp_congestion_control", O_RDONLY | O_CLOEXEC);
  char text[64] = {};
  if (fd >= 0 && read(fd, text, sizeof text - 1) > 0) name = text;
  if (fd >= 0) close(fd);
  leave();
  while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
  return name;
}

bool LinkEmulator::enter(Side side) { return setns(namespaces_[static_cast<int>(side)], CLONE_NEWNET) == 0; }

bool LinkEmulator::leave() { return setns(rootNamespace_, CLONE_NEWNET) == 0; }

pid_t LinkEmulator::spawn(Side side, const std::function<int()>& body, bool ownProcesses) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent || !enter(side)) _exit(127);
    if (!ownProcesses) _exit(body());
    // The namespace's first process is its init: when it dies, the kernel kills the rest. This
    // child only waits, and dies with the bench (or when told to stop), taking the init along.
    if (unshare(CLONE_NEWPID) != 0) _exit(127);
    const pid_t init = fork();
    if (init == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      _exit(body());
    }
    int status = 0;
    if (init < 0 || waitpid(init, &status, 0) != init) _exit(127);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 127);
  }
  return pid;
}

LinkEmulator::Capacity LinkEmulator::capacity(std::chrono::milliseconds duration) {
  Capacity result;
  int ready[2];
  int report[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return result;
  if (pipe2(report, O_CLOEXEC) != 0) {
    close(ready[0]);
    close(ready[1]);
    return result;
  }
  shape(oneWay_, loss_);  // counts the forwarder's work from here
  const pid_t sink = spawn(Side::kServer, [&] {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = ipv4(kServerAddress, kSinkPort);
    const bool listening =
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener, 1) == 0;
    char status = listening ? 0 : 1;
    (void)!write(ready[1], &status, 1);
    int peer = accept(listener, nullptr, nullptr);
    std::vector<char> buffer(1 << 20);
    while (read(peer, buffer.data(), buffer.size()) > 0) {
    }
    return 0;  // the sender sees the close once everything is read
  });
  char status = 1;
  if (sink < 0 || !readWhole(ready[0], &status, 1) || status != 0) {
    if (sink > 0) {
      kill(sink, SIGKILL);
      waitpid(sink, nullptr, 0);
    }
    close(ready[0]);
    close(ready[1]);
    close(report[0]);
    close(report[1]);
    return result;
  }
  const pid_t source = spawn(Side::kClient, [&] {
    int out = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = ipv4(kServerAddress, kSinkPort);
    double numbers[2] = {0, 0};
    std::int64_t start = nowNanoseconds();
    if (connect(out, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      numbers[1] = static_cast<double>(nowNanoseconds() - start) / 1e6;
      std::vector<char> buffer(1 << 20, 'x');
      start = nowNanoseconds();
      const std::int64_t end = start + static_cast<std::int64_t>(duration.count()) * 1000000;
      std::uint64_t sent = 0;
      while (nowNanoseconds() < end) {
        ssize_t n = write(out, buffer.data(), buffer.size());
        if (n <= 0) break;
        sent += static_cast<std::uint64_t>(n);
      }
      shutdown(out, SHUT_WR);
      while (read(out, buffer.data(), buffer.size()) > 0) {
      }
      numbers[0] = static_cast<double>(sent) / 1e6 / (static_cast<double>(nowNanoseconds() - start) / 1e9);
    }
    return writeWhole(report[1], numbers, sizeof numbers) ? 0 : 1;
  });
  close(ready[1]);
  close(report[1]);
  double numbers[2] = {0, 0};
  if (source > 0 && readWhole(report[0], numbers, sizeof numbers)) {
    result.megabytesPerSecond = numbers[0];
    result.connectMilliseconds = numbers[1];
  }
  if (source > 0) waitpid(source, nullptr, 0);
  waitpid(sink, nullptr, 0);
  close(ready[0]);
  close(report[0]);
  Counters counters;
  if (shape(oneWay_, loss_, &counters)) result.forwarderCpuSeconds = counters.cpuSeconds;
  result.counters = counters;
  return result;
}
