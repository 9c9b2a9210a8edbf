// The service end of a connection over a socketpair: the challenge, the frame limits in each
// direction, and the sender check of every message. And the listener's cap on one user's admissions.
#include "platform/xpc/Connection.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/xpc/Listener.h"
#include "protocol/ValueCodec.h"

namespace zeb::xpc {
namespace {

using namespace std::chrono_literals;

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool readAll(int fd, char* buffer, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::read(fd, buffer + done, n - done);
    if (r <= 0) return false;
    done += static_cast<std::size_t>(r);
  }
  return true;
}

std::optional<Message> readFrame(int fd) {
  char header[4];
  if (!readAll(fd, header, 4)) return std::nullopt;
  const std::size_t len = (std::size_t{std::uint8_t(header[0])} << 24) | (std::uint8_t(header[1]) << 16) |
                          (std::uint8_t(header[2]) << 8) | std::uint8_t(header[3]);
  std::string payload(len, '\0');
  if (!readAll(fd, payload.data(), len)) return std::nullopt;
  auto m = decodeMessage(payload, kMaxAnswerFrameBytes);
  return m.ok() ? std::optional<Message>(*m) : std::nullopt;
}

// A "note:" message whose frame is exactly `frameBytes` long (payload only).
std::string noteFrame(std::size_t payloadBytes) {
  std::string text;
  std::string frame = encodeFrame("note:", Array{Value(text)});
  // The string's header grows with its length: settle the padding in two steps.
  for (int i = 0; i < 2; ++i) {
    const std::size_t now = frame.size() - 4;
    text.resize(text.size() + payloadBytes - now, 'n');
    frame = encodeFrame("note:", Array{Value(text)});
  }
  return frame;
}

class ServiceConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    client_ = pair[1];
    auto peer = readPeerCredentials(pair[0], false, boottimeNowNs());
    ASSERT_TRUE(peer.ok());
    ConnectionOptions options;
    options.handshakeTimeout = 2s;
    connection_ = Connection::adopt(UniqueFd(pair[0]), std::move(*peer), Connection::Role::kService, options);
    auto interface = std::make_shared<Interface>("Test");
    // A handler learns its sender from its arguments: only messages handed their own connection count.
    interface->add("note:", {ArgType::kString}, [this](const std::shared_ptr<Connection>& sender, const Array&) {
      if (sender == connection_) ++handled_;
    });
    connection_->setExportedInterface(interface);
    connection_->setCloseHandler([this](const std::string& reason) {
      std::lock_guard lock(mutex_);
      reason_ = reason;
      cv_.notify_all();
    });
    connection_->setLogSink([this](int, const std::string& line) {
      std::lock_guard lock(mutex_);
      logged_ += line + "\n";
    });
    connection_->resume();
    challenge_ = readFrame(client_);
    ASSERT_TRUE(challenge_ && challenge_->selector == kChallengeSelector);
  }
  void TearDown() override {
    connection_->invalidate();
    (void)dropReason();  // the connection's thread is done with this fixture once it has said why
    ::close(client_);
  }

  bool echo(bool faithfully) {
    Data bytes = *challenge_->arguments[0].asData();
    if (!faithfully) bytes[0] ^= 1;
    return writeAll(client_, encodeFrame(kChallengeSelector, Array{Value(bytes)}));
  }
  // Why the service dropped the connection, once it has.
  std::string dropReason() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 5s, [&] { return !reason_.empty(); });
    return reason_;
  }
  bool handledWithin(int count) {
    for (int i = 0; i < 500 && handled_.load() < count; ++i) std::this_thread::sleep_for(10ms);
    return handled_.load() == count;
  }

  int client_ = -1;
  std::shared_ptr<Connection> connection_;
  std::optional<Message> challenge_;
  std::atomic<int> handled_{0};
  std::mutex mutex_;
  std::condition_variable cv_;
  std::string reason_;
  std::string logged_;
};

TEST_F(ServiceConnection, TheEchoMustCarryTheChallengesBytes) {
  ASSERT_TRUE(echo(false));
  EXPECT_EQ(dropReason(), "frame before the challenge echo");
  EXPECT_EQ(handled_.load(), 0);
  EXPECT_NE(logged_.find("Dropping <connection pid"), std::string::npos);
}

TEST_F(ServiceConnection, APeerThatClosesItsEndIsDroppedWithoutALogLine) {
  ASSERT_TRUE(echo(true));
  ASSERT_EQ(::shutdown(client_, SHUT_WR), 0);
  EXPECT_EQ(dropReason(), "peer closed the connection");
  std::lock_guard lock(mutex_);
  EXPECT_EQ(logged_, "");
}

TEST_F(ServiceConnection, RequestsUpToTheLimitAreHandledAndOneByteMoreDrops) {
  ASSERT_TRUE(echo(true));
  ASSERT_TRUE(writeAll(client_, noteFrame(kMaxFrameBytes)));
  EXPECT_TRUE(handledWithin(1));
  (void)writeAll(client_, noteFrame(kMaxFrameBytes + 1));  // dropped after its header: the rest may not fit
  EXPECT_EQ(dropReason(), "frame size " + std::to_string(kMaxFrameBytes + 1) + " out of bounds");
  EXPECT_EQ(handled_.load(), 1);
}

TEST_F(ServiceConnection, AnswersMayExceedTheRequestLimitButNotTheirOwn) {
  ASSERT_TRUE(echo(true));
  std::thread reader([&] {
    auto m = readFrame(client_);
    EXPECT_TRUE(m && m->selector == "note:");
  });
  EXPECT_TRUE(connection_->send("note:", Array{Value(std::string(kMaxFrameBytes * 2, 'a'))}).ok());
  reader.join();
  EXPECT_FALSE(connection_->send("note:", Array{Value(std::string(kMaxAnswerFrameBytes, 'a'))}).ok());
}

TEST_F(ServiceConnection, AnotherProcessWritingOnTheAdmittedSocketIsDropped) {
  ASSERT_TRUE(echo(true));
  ASSERT_TRUE(writeAll(client_, noteFrame(64)));
  ASSERT_TRUE(handledWithin(1));
  const pid_t child = ::fork();
  if (child == 0) ::_exit(writeAll(client_, noteFrame(64)) ? 0 : 1);
  int raw = 0;
  ASSERT_EQ(::waitpid(child, &raw, 0), child);
  EXPECT_EQ(dropReason(), "message from another process than the peer");
  EXPECT_EQ(handled_.load(), 1);
}

// Admissions that wait until released, then refuse.
class HeldAdmissions : public ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(Listener&, const std::shared_ptr<Connection>&) override {
    std::unique_lock lock(mutex_);
    ++calls_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return released_; });
    return false;
  }
  bool callsReach(int count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, 5s, [&] { return calls_ == count; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int calls_ = 0;
  bool released_ = false;
};

UniqueFd connectTo(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// Whether the service has closed `fd` (within `wait`).
bool closedWithin(const UniqueFd& fd, std::chrono::milliseconds wait) {
  pollfd ready{fd.get(), POLLIN, 0};
  char byte;
  return ::poll(&ready, 1, static_cast<int>(wait.count())) == 1 && ::read(fd.get(), &byte, 1) == 0;
}

TEST(ListenerLimits, AThirdAdmissionOfOneUserIsDroppedWhileTwoAreUnderWay) {
  // The listener's thread runs for the rest of the process, as it does in the daemon.
  static HeldAdmissions delegate;
  char directory[] = "/tmp/zeb-listener-XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  auto created = Listener::create(std::string(directory) + "/socket", ListenerOptions{}, nullptr);
  ASSERT_TRUE(created.ok());
  static Listener* listener = created->release();
  listener->setDelegate(&delegate);
  listener->resume();

  UniqueFd first = connectTo(listener->socketPath()), second = connectTo(listener->socketPath());
  ASSERT_TRUE(delegate.callsReach(2));
  UniqueFd third = connectTo(listener->socketPath());
  EXPECT_TRUE(closedWithin(third, 2s)) << "a third admission of one uid was queued";
  EXPECT_FALSE(closedWithin(first, 0ms));

  // Once they end, the uid's slots are free again.
  delegate.release();
  EXPECT_TRUE(closedWithin(first, 2s));
  EXPECT_TRUE(closedWithin(second, 2s));
  UniqueFd fourth = connectTo(listener->socketPath());
  EXPECT_TRUE(delegate.callsReach(3));
  EXPECT_TRUE(closedWithin(fourth, 2s));
  ::unlink(listener->socketPath().c_str());
  ::rmdir(directory);
}

}  // namespace
}  // namespace zeb::xpc
