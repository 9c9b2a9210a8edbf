// Uploads and downloads against a real sshd: byte-exact copies at the chunk boundaries, the
// progress and speed reports, and what each kind of failure leaves behind.
#include <Ferrix/Ferrix.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "LatencyProxy.h"
#include "RecordingDelegate.h"
#include "SshServer.h"
#include "TestFiles.h"

namespace {

SshServer& server() { return SshServer::shared(); }

using Events = std::vector<std::string>;
constexpr std::size_t kLarge = 16 * 1024 * 1024 + 1;

std::unique_ptr<FRXSFTP> connectedSFTP(FRXObject* delegate) {
  auto sftp = std::make_unique<FRXSFTP>("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
  sftp->setPort(server().port());
  sftp->setDelegate(delegate);
  FRXError error;
  EXPECT_TRUE(sftp->connectWithError(&error)) << error.description() << " / " << error.sessionErrorMessage;
  return sftp;
}

std::size_t temporaryFilesIn(const std::string& directory) {
  std::size_t count = 0;
  std::error_code ignored;
  for (auto it = std::filesystem::directory_iterator(directory, ignored); it != std::filesystem::directory_iterator();
       it.increment(ignored)) {
    if (it->path().filename().string().find(".ferrix-") != std::string::npos) ++count;
  }
  return count;
}

class TransferTest : public testing::Test {
protected:
  void SetUp() override {
    const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    remote_ = server().newRemoteDirectory(name);
    local_ = server().localDirectory() + "/" + name;
    std::filesystem::create_directories(local_);
    sftp_ = connectedSFTP(&delegate_);
  }

  SpeedRecordingDelegate delegate_;
  std::unique_ptr<FRXSFTP> sftp_;
  std::string remote_;
  std::string local_;
};

TEST(FRXTransferMath, SpeedTextBandsArePowersOf1024) {
  EXPECT_EQ(FRXTransferSpeedText(1024), "1.00 KBps");
  EXPECT_EQ(FRXTransferSpeedText(1023.5), "1023.50 Bps");
  EXPECT_EQ(FRXTransferSpeedText(1048576), "1.00 MBps");
  EXPECT_EQ(FRXTransferSpeedText(1048575), "1024.00 KBps");
  EXPECT_EQ(FRXTransferSpeedText(0), "0.00 Bps");
  EXPECT_EQ(FRXTransferSpeedText(350.0 * 1048576), "350.00 MBps");
}

TEST(FRXTransferMath, ProgressUsesSixtyFourBitSizes) {
  constexpr std::uint64_t kGiB = 1ull << 30;
  EXPECT_DOUBLE_EQ(FRXTransferProgress(3 * kGiB, 6 * kGiB), 50.0);
  EXPECT_DOUBLE_EQ(FRXTransferProgress(5 * kGiB, 5 * kGiB), 100.0);
  EXPECT_GT(FRXTransferProgress(16384, 3 * kGiB), 0.0);
  // The size enters the division at single precision.
  EXPECT_DOUBLE_EQ(FRXTransferProgress(kLarge, kLarge), kLarge * 100.0 / 16777216.0);
  EXPECT_NE(FRXTransferProgress(kLarge, kLarge), 100.0);
}

TEST_F(TransferTest, UploadsAreByteExactWithAReportPerChunk) {
  struct Case {
    std::size_t size;
    std::size_t chunks;
  };
  // Pipelined or not, the delegate hears one speed and one progress report per chunk, in order.
  for (bool pipelined : {false, true}) {
    sftp_->setPipelined(pipelined);
    for (const Case& c : {Case{0, 0}, Case{40000, 3}, Case{kLarge, 1025}}) {
      SCOPED_TRACE(std::to_string(c.size) + (pipelined ? " pipelined" : " stop-and-wait"));
      const std::string source = local_ + "/up-" + std::to_string(c.size);
      const std::string target = remote_ + "/up-" + std::to_string(c.size) + (pipelined ? "-p" : "");
      writeFile(source, patternBytes(c.size, 7), 0640);
      delegate_.clear();
      FRXError error;
      ASSERT_TRUE(sftp_->copyItemAtPath(source, target, &error)) << error.description();
      EXPECT_TRUE(readFile(target) == patternBytes(c.size, 7));
      EXPECT_EQ(modeOf(target), 0640u);
      EXPECT_EQ(delegate_.progress.size(), c.chunks);
      EXPECT_EQ(delegate_.speeds.size(), c.chunks);
      EXPECT_EQ(delegate_.outcomes(), Events{"complete"});
      for (std::size_t i = 0; i < delegate_.progress.size(); ++i) {
        ASSERT_EQ(delegate_.progress[i], FRXTransferProgress(std::min((i + 1) * 16384, c.size), c.size)) << i;
        // The speed report of a chunk comes before its progress report.
        ASSERT_EQ(delegate_.events[2 * i], "speed");
        ASSERT_EQ(delegate_.events[2 * i + 1], "progress");
      }
      if (c.chunks > 0) {
        EXPECT_TRUE(delegate_.speeds.front().find("Bps") != std::string::npos);
      }
    }
  }
  // 40000 bytes: 16384, 16384 and 7232.
  sftp_->setPipelined(false);
  delegate_.clear();
  ASSERT_TRUE(sftp_->copyItemAtPath(local_ + "/up-40000", remote_ + "/again"));
  EXPECT_EQ(delegate_.progress, (std::vector<double>{16384 * 100.0 / 40000, 32768 * 100.0 / 40000, 100.0}));
}

TEST_F(TransferTest, UploadReplacesALongerRemoteFile) {
  writeFile(remote_ + "/existing", patternBytes(100000, 3));
  server().giveToUser(remote_ + "/existing");
  writeFile(local_ + "/short", "short");
  ASSERT_TRUE(sftp_->copyItemAtPath(local_ + "/short", remote_ + "/existing"));
  EXPECT_EQ(readFile(remote_ + "/existing"), "short");
}

TEST_F(TransferTest, UploadFailures) {
  FRXError error;
  // A missing local file is reported as such, connected or not.
  FRXSFTP unconnected("127.0.0.1", "nobody", FRXPassword("password"));
  RecordingDelegate quiet;
  unconnected.setDelegate(&quiet);
  EXPECT_FALSE(unconnected.copyItemAtPath(local_ + "/absent", "/x", &error));
  EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
  EXPECT_EQ(error.code, 260);
  EXPECT_EQ(error.filePath, local_ + "/absent");
  EXPECT_EQ(quiet.events, Events{"fail:NSCocoaErrorDomain:260"});
  EXPECT_FALSE(sftp_->copyItemAtPath(local_ + "/absent", remote_ + "/x", &(error = {})));
  EXPECT_EQ(error.code, 260);

  writeFile(local_ + "/file", "data");
  delegate_.clear();
  EXPECT_FALSE(sftp_->copyItemAtPath(local_ + "/file", remote_ + "/no-such-dir/file", &(error = {})));
  EXPECT_EQ(error.domain, "frx_sftp_error_domain");
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(error.localizedDescription, "Unable to open remote file for writing.");
  EXPECT_EQ(delegate_.events, Events{"fail:frx_sftp_error_domain:4"});

  // A local file that can't be read is found out before the remote file is touched: an existing
  // remote file keeps its contents.
  writeFile(remote_ + "/kept", "remote contents");
  server().giveToUser(remote_ + "/kept");
  for (const std::string& unreadable : {local_, std::string("/proc/self/mem-is-not-here")}) {
    delegate_.clear();
    EXPECT_FALSE(sftp_->copyItemAtPath(unreadable, remote_ + "/kept", &(error = {})));
    EXPECT_FALSE(error.domain.empty());
    EXPECT_EQ(readFile(remote_ + "/kept"), "remote contents");
  }
  if (geteuid() != 0) {
    writeFile(local_ + "/unreadable", "secret", 0000);
    EXPECT_FALSE(sftp_->copyItemAtPath(local_ + "/unreadable", remote_ + "/kept", &(error = {})));
    EXPECT_EQ(error.code, FRXSFTPErrorLocalFile);
    EXPECT_EQ(readFile(remote_ + "/kept"), "remote contents");
  }
}

TEST_F(TransferTest, DownloadsAreByteExactAndStreamedIntoPlace) {
  for (bool pipelined : {false, true}) {
    sftp_->setPipelined(pipelined);
    for (std::size_t size : {std::size_t{40000}, kLarge}) {
      SCOPED_TRACE(std::to_string(size) + (pipelined ? " pipelined" : " stop-and-wait"));
      const std::string source = remote_ + "/down-" + std::to_string(size);
      const std::string target = local_ + "/down-" + std::to_string(size);
      writeFile(source, patternBytes(size, 11));
      writeFile(target, "old contents");
      delegate_.clear();
      FRXError error;
      ASSERT_TRUE(sftp_->copyItemAtRemotePath(source, target, &error)) << error.description();
      EXPECT_TRUE(readFile(target) == patternBytes(size, 11));
      if (pipelined) {
        // Exactly one report per 16384 bytes, whatever pieces libssh2 hands back.
        ASSERT_EQ(delegate_.progress.size(), (size + 16383) / 16384);
        for (std::size_t i = 0; i < delegate_.progress.size(); ++i) {
          ASSERT_EQ(delegate_.progress[i], FRXTransferProgress(std::min((i + 1) * 16384, size), size)) << i;
        }
      } else {
        // One report per read; libssh2 may hand back less than a whole chunk.
        EXPECT_GE(delegate_.progress.size(), (size + 16383) / 16384);
        EXPECT_TRUE(std::is_sorted(delegate_.progress.begin(), delegate_.progress.end()));
      }
      EXPECT_EQ(delegate_.speeds.size(), delegate_.progress.size());
      EXPECT_EQ(delegate_.progress.back(), FRXTransferProgress(size, size));
      EXPECT_EQ(delegate_.outcomes(), Events{"complete"});
      // The file replaced keeps its mode (writeFile made it 0644).
      EXPECT_EQ(modeOf(target), 0644u);
    }
  }
  const mode_t mask = umask(0);
  umask(mask);
  ASSERT_TRUE(sftp_->copyItemAtRemotePath(remote_ + "/down-40000", local_ + "/fresh"));
  EXPECT_EQ(modeOf(local_ + "/fresh"), 0666u & ~mask);
  EXPECT_EQ(temporaryFilesIn(local_), 0u);
}

TEST_F(TransferTest, ADownloadNeverWidensOrOverridesTheFileItReplaces) {
  writeFile(remote_ + "/source", "new contents");
  writeFile(local_ + "/private", "old", 0600);
  ASSERT_TRUE(sftp_->copyItemAtRemotePath(remote_ + "/source", local_ + "/private"));
  EXPECT_EQ(modeOf(local_ + "/private"), 0600u);
  EXPECT_EQ(readFile(local_ + "/private"), "new contents");

  // A read-only file is kept, also for root.
  writeFile(local_ + "/readonly", "keep me", 0444);
  FRXError error;
  EXPECT_FALSE(sftp_->copyItemAtRemotePath(remote_ + "/source", local_ + "/readonly", &error));
  EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
  EXPECT_EQ(error.code, 513);
  EXPECT_EQ(readFile(local_ + "/readonly"), "keep me");
  EXPECT_EQ(temporaryFilesIn(local_), 0u);
}

TEST_F(TransferTest, ResumeContinuesFromTheDestinationsSizeByteExact) {
  const std::string bytes = patternBytes(300000, 21);
  writeFile(local_ + "/whole", bytes);
  writeFile(remote_ + "/whole", bytes);
  for (bool pipelined : {false, true}) {
    SCOPED_TRACE(pipelined ? "pipelined" : "stop-and-wait");
    sftp_->setPipelined(pipelined);
    // Upload onto a remote file holding the first 50000 bytes.
    writeFile(remote_ + "/partial", bytes.substr(0, 50000));
    server().giveToUser(remote_ + "/partial");
    delegate_.clear();
    FRXError error;
    ASSERT_TRUE(sftp_->resumeItemAtPath(local_ + "/whole", remote_ + "/partial", &error)) << error.description();
    EXPECT_TRUE(readFile(remote_ + "/partial") == bytes);
    ASSERT_FALSE(delegate_.progress.empty());
    EXPECT_GT(delegate_.progress.front(), 50000 * 100.0 / 300000);
    EXPECT_EQ(delegate_.progress.back(), 100.0);

    // Download onto a local file holding the first 70000 bytes.
    writeFile(local_ + "/partial", bytes.substr(0, 70000));
    ASSERT_TRUE(sftp_->resumeItemAtRemotePath(remote_ + "/whole", local_ + "/partial", &error)) << error.description();
    EXPECT_TRUE(readFile(local_ + "/partial") == bytes);
  }
  // A destination longer than the source is not a partial copy of it.
  writeFile(local_ + "/short", "short");
  FRXError error;
  EXPECT_FALSE(sftp_->resumeItemAtPath(local_ + "/short", remote_ + "/whole", &error));
  EXPECT_EQ(error.code, FRXSFTPErrorRemoteFile);
  EXPECT_TRUE(readFile(remote_ + "/whole") == bytes);
}

TEST_F(TransferTest, FailedDownloadsLeaveTheLocalPathUntouched) {
  const std::string target = local_ + "/target";
  writeFile(target, "precious");
  FRXError error;

  EXPECT_FALSE(sftp_->copyItemAtRemotePath(remote_ + "/absent", target, &error));
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(error.localizedDescription, "Unable to open remote file for reading.");
  EXPECT_EQ(delegate_.events, Events{"fail:frx_sftp_error_domain:4"});

  // An empty remote file: NO, the delegate hears no error, nothing written.
  writeFile(remote_ + "/empty", "");
  delegate_.clear();
  EXPECT_FALSE(sftp_->copyItemAtRemotePath(remote_ + "/empty", target, &(error = {})));
  EXPECT_EQ(error.code, FRXSFTPErrorTransfer);
  EXPECT_EQ(delegate_.events, Events{"fail:none"});
  EXPECT_FALSE(sftp_->copyItemAtRemotePath(remote_ + "/empty", local_ + "/fresh"));
  EXPECT_FALSE(exists(local_ + "/fresh"));
  // Resuming onto a missing file: the file it made goes again when the remote one can't be read.
  EXPECT_FALSE(sftp_->resumeItemAtRemotePath(remote_ + "/absent", local_ + "/fresh"));
  EXPECT_FALSE(exists(local_ + "/fresh"));

  // Only regular files are read: a directory, and a FIFO that would block the server for ever.
  ASSERT_EQ(mkfifo((remote_ + "/fifo").c_str(), 0644), 0);
  server().giveToUser(remote_ + "/fifo");
  for (const std::string& special : {remote_, remote_ + "/fifo"}) {
    delegate_.clear();
    EXPECT_FALSE(sftp_->copyItemAtRemotePath(special, target, &(error = {})));
    EXPECT_EQ(error.code, FRXSFTPErrorNotRegularFile);
    EXPECT_EQ(delegate_.outcomes(), Events{"fail:frx_sftp_error_domain:9"});
  }
  EXPECT_TRUE(sftp_->attributesOfItemAtPath(remote_ + "/fifo").has_value());

  EXPECT_EQ(readFile(target), "precious");
  EXPECT_EQ(temporaryFilesIn(local_), 0u);

  // A local destination that can't be written: the caller gets the error, the delegate none.
  writeFile(remote_ + "/some", "some bytes");
  delegate_.clear();
  EXPECT_FALSE(sftp_->copyItemAtRemotePath(remote_ + "/some", local_ + "/no-such-dir/file", &error));
  EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(error.underlyingPOSIXError, ENOENT);
  EXPECT_EQ(delegate_.events, Events{"fail:none"});
}

// Cuts the connection from the server side once the first chunk has been reported.
class DroppingDelegate : public RecordingDelegate {
public:
  void connectionDidUpdateProgress(FRXConnection& connection, double value) override {
    if (progress.empty()) server().dropConnections();
    RecordingDelegate::connectionDidUpdateProgress(connection, value);
  }
};

TEST(FRXTransferFailures, AConnectionLostMidwayFailsTheTransferOnce) {
  const std::string remote = server().newRemoteDirectory("dropped");
  const std::string local = server().localDirectory() + "/dropped";
  std::filesystem::create_directories(local);
  writeFile(local + "/source", patternBytes(kLarge, 13));
  writeFile(remote + "/source", patternBytes(kLarge, 13));
  for (bool pipelined : {false, true}) {
    SCOPED_TRACE(pipelined ? "pipelined" : "stop-and-wait");
    {
      // Download: a read error is not the end of the file, and nothing reaches the local path.
      DroppingDelegate delegate;
      auto sftp = connectedSFTP(&delegate);
      sftp->setPipelined(pipelined);
      FRXError error;
      EXPECT_FALSE(sftp->copyItemAtRemotePath(remote + "/source", local + "/copy", &error));
      EXPECT_EQ(error.code, FRXSFTPErrorTransfer);
      EXPECT_EQ(error.reason(), "connection lost") << error.sessionErrorCode << " " << error.sessionErrorMessage;
      EXPECT_EQ(delegate.outcomes(), Events{"fail:none"});
      EXPECT_FALSE(exists(local + "/copy"));
      EXPECT_EQ(temporaryFilesIn(local), 0u);
    }
    {
      // Upload: the failed write ends it; what was written stays on the server.
      DroppingDelegate delegate;
      auto sftp = connectedSFTP(&delegate);
      sftp->setPipelined(pipelined);
      FRXError error;
      EXPECT_FALSE(sftp->copyItemAtPath(local + "/source", remote + "/copy", &error));
      EXPECT_EQ(error.code, FRXSFTPErrorTransfer);
      EXPECT_EQ(delegate.outcomes(), Events{"fail:none"});
      EXPECT_LT(readFile(remote + "/copy").size(), kLarge);
    }
  }
}

TEST(FRXTransferLatency, CopiesAreByteExactAcrossARoundTrip) {
  // 2 ms each way: many requests in flight, answers arriving in bursts.
  LatencyProxy proxy(server().port(), std::chrono::milliseconds(2));
  ASSERT_NE(proxy.port(), 0);
  const std::string remote = server().newRemoteDirectory("latency");
  const std::string local = server().localDirectory() + "/latency";
  std::filesystem::create_directories(local);
  constexpr std::size_t kSize = 3 * 1024 * 1024 + 12345;
  writeFile(local + "/source", patternBytes(kSize, 23));
  for (bool pipelined : {true, false}) {
    SCOPED_TRACE(pipelined ? "pipelined" : "stop-and-wait");
    const std::size_t size = pipelined ? kSize : kSize / 3;  // stop-and-wait pays the round trip per chunk
    writeFile(local + "/source", patternBytes(size, 23));
    SpeedRecordingDelegate delegate;
    FRXSFTP sftp("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
    sftp.setPort(proxy.port());
    sftp.setDelegate(&delegate);
    sftp.setPipelined(pipelined);
    FRXError error;
    ASSERT_TRUE(sftp.connectWithError(&error)) << error.description();
    ASSERT_TRUE(sftp.copyItemAtPath(local + "/source", remote + "/copy", &error)) << error.description();
    EXPECT_TRUE(readFile(remote + "/copy") == patternBytes(size, 23));
    ASSERT_TRUE(sftp.copyItemAtRemotePath(remote + "/copy", local + "/back", &error)) << error.description();
    EXPECT_TRUE(readFile(local + "/back") == patternBytes(size, 23));
    EXPECT_EQ(delegate.outcomes(), (Events{"complete", "complete"}));
  }
}

// Stops the transfer from its first progress report: by disconnecting inside the callback, or by
// cancelling from another thread.
class StoppingDelegate : public RecordingDelegate {
public:
  explicit StoppingDelegate(bool disconnect) : disconnect_(disconnect) {}
  void connectionDidUpdateProgress(FRXConnection& connection, double value) override {
    if (progress.empty()) {
      auto& sftp = dynamic_cast<FRXSFTP&>(connection);
      if (disconnect_) {
        sftp.disconnect();
      } else {
        std::thread([&sftp] { sftp.cancelTransfer(); }).join();
      }
    }
    RecordingDelegate::connectionDidUpdateProgress(connection, value);
  }

private:
  bool disconnect_;
};

TEST(FRXTransferStops, DisconnectInACallbackOrCancelStopsSafelyAndLeavesNoTemporaryFile) {
  const std::string remote = server().newRemoteDirectory("stops");
  const std::string local = server().localDirectory() + "/stops";
  std::filesystem::create_directories(local);
  writeFile(local + "/source", patternBytes(kLarge, 17));
  writeFile(remote + "/source", patternBytes(kLarge, 17));
  for (bool pipelined : {false, true}) {
    for (bool disconnect : {false, true}) {
      for (bool download : {false, true}) {
        SCOPED_TRACE(std::string(pipelined ? "pipelined " : "stop-and-wait ") + (disconnect ? "disconnect " : "cancel ") +
                     (download ? "download" : "upload"));
        StoppingDelegate delegate(disconnect);
        auto sftp = connectedSFTP(&delegate);
        sftp->setPipelined(pipelined);
        FRXError error;
        const bool done = download ? sftp->copyItemAtRemotePath(remote + "/source", local + "/copy", &error)
                                   : sftp->copyItemAtPath(local + "/source", remote + "/copy", &error);
        EXPECT_FALSE(done);
        EXPECT_EQ(error.code, FRXSFTPErrorCancelled);
        EXPECT_EQ(delegate.outcomes(), Events{"fail:frx_sftp_error_domain:8"});
        EXPECT_EQ(sftp->isConnected(), !disconnect);
        EXPECT_FALSE(exists(local + "/copy"));
        EXPECT_EQ(temporaryFilesIn(local), 0u);
        // A cancelled transfer leaves the connection usable; the next transfer runs to its end.
        if (!disconnect) {
          EXPECT_TRUE(sftp->copyItemAtRemotePath(remote + "/source", local + "/again", &error)) << error.description();
        }
      }
    }
  }
}

// Stalls the server once the first chunk has been reported.
class StallingDelegate : public RecordingDelegate {
public:
  void connectionDidUpdateProgress(FRXConnection& connection, double value) override {
    if (progress.empty()) server().pauseConnections(true);
    RecordingDelegate::connectionDidUpdateProgress(connection, value);
  }
};

TEST(FRXTransferStops, AServerThatStallsMidwayTimesOut) {
  const std::string remote = server().newRemoteDirectory("stall");
  const std::string local = server().localDirectory() + "/stall";
  std::filesystem::create_directories(local);
  writeFile(remote + "/source", patternBytes(kLarge, 19));
  for (bool pipelined : {false, true}) {
    SCOPED_TRACE(pipelined ? "pipelined" : "stop-and-wait");
    StallingDelegate delegate;
    auto sftp = connectedSFTP(&delegate);
    sftp->setPipelined(pipelined);
    sftp->setTimeout(1);
    FRXError error;
    EXPECT_FALSE(sftp->copyItemAtRemotePath(remote + "/source", local + "/copy", &error));
    server().pauseConnections(false);
    EXPECT_EQ(error.code, FRXSFTPErrorTimedOut);
    EXPECT_EQ(error.reason(), "timed out");
    EXPECT_EQ(temporaryFilesIn(local), 0u);
    // Unusable now, but released at once.
    sftp.reset();
  }
}

TEST(FRXTransferDelegates, WhichDelegateHearsWhat) {
  const std::string remote = server().newRemoteDirectory("delegates");
  const std::string local = server().localDirectory() + "/delegates-source";
  writeFile(local, patternBytes(40000));

  // Without the protocol: no progress, completion or failure; speed texts still come.
  NonConformingDelegate nonConforming;
  auto sftp = connectedSFTP(&nonConforming);
  EXPECT_EQ(shouldUpdateSpeed.load(), 1);
  ASSERT_TRUE(sftp->copyItemAtPath(local, remote + "/a"));
  EXPECT_FALSE(sftp->copyItemAtPath(local, remote + "/missing/a"));
  EXPECT_EQ(nonConforming.events, Events(3, "speed"));

  // The flag is process-wide: another connection sets it, but a delegate without the speed
  // callback is never sent one.
  RecordingDelegate noSpeed;
  auto quiet = connectedSFTP(&noSpeed);
  EXPECT_EQ(shouldUpdateSpeed.load(), 0);
  SpeedRecordingDelegate speedy;
  auto loud = connectedSFTP(&speedy);
  EXPECT_EQ(shouldUpdateSpeed.load(), 1);
  ASSERT_TRUE(quiet->copyItemAtPath(local, remote + "/b"));
  EXPECT_EQ(noSpeed.events, (Events{"progress", "progress", "progress", "complete"}));

  // With the flag cleared by a later connect, even a speed delegate hears no speed.
  auto clearing = connectedSFTP(&noSpeed);
  ASSERT_TRUE(loud->copyItemAtRemotePath(remote + "/b", local + ".back"));
  EXPECT_TRUE(speedy.speeds.empty());
  EXPECT_GE(speedy.progress.size(), 3u);
}

// Hears the byte counts (with the speed texts and the required callbacks).
class CountingDelegate : public SpeedRecordingDelegate, public FRXConnectionTransferDelegateProtocol {
public:
  struct Count {
    std::uint64_t done;
    std::uint64_t total;
    double rate;
    std::chrono::steady_clock::time_point heard;
  };
  std::vector<Count> counts;
  void connectionDidTransferBytes(FRXConnection&, std::uint64_t done, std::uint64_t total, double rate) override {
    counts.push_back({done, total, rate, std::chrono::steady_clock::now()});
    events.emplace_back("bytes");
  }
  // The rate the reports themselves show over their last second, or since `began` (the call, with
  // nothing across yet) when the transfer was shorter.
  [[nodiscard]] double observedRate(std::chrono::steady_clock::time_point began) const {
    const Count& last = counts.back();
    Count base{0, last.total, 0, began};
    for (const Count& count : counts) {
      if (last.heard - count.heard >= std::chrono::seconds(1)) base = count;
    }
    const double span = std::chrono::duration<double>(last.heard - base.heard).count();
    return static_cast<double>(last.done - base.done) / span;
  }
};

// Bytes per second from a speed text ("12.34 MBps").
double speedOf(const std::string& text) {
  double value = 0;
  char unit[8] = {};
  if (std::sscanf(text.c_str(), "%lf %7s", &value, unit) != 2) return -1;
  const std::string u = unit;
  return value * (u == "MBps" ? 1048576.0 : u == "KBps" ? 1024.0 : 1.0);
}

TEST(FRXTransferProgress, ByteCountsComeInOrderWithARateNearTheRealOne) {
  // A round trip of 20 ms: pipelined acknowledgements arrive in bursts, stop-and-wait pays it per chunk.
  LatencyProxy proxy(server().port(), std::chrono::milliseconds(10));
  ASSERT_NE(proxy.port(), 0);
  const std::string remote = server().newRemoteDirectory("counts");
  const std::string local = server().localDirectory() + "/counts";
  std::filesystem::create_directories(local);
  for (bool pipelined : {true, false}) {
    // Long enough that the round trips before the first byte weigh little in the real rate.
    const std::size_t size = pipelined ? 16 * 1024 * 1024 + 777 : 384 * 1024 + 777;
    const std::string bytes = patternBytes(size, 29);
    writeFile(local + "/source", bytes);
    for (bool download : {false, true}) {
      SCOPED_TRACE(std::string(pipelined ? "pipelined " : "stop-and-wait ") + (download ? "download" : "upload"));
      CountingDelegate delegate;
      FRXSFTP sftp("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
      sftp.setPort(proxy.port());
      sftp.setDelegate(&delegate);
      sftp.setPipelined(pipelined);
      sftp.setReportsSpeed(true);
      FRXError error;
      ASSERT_TRUE(sftp.connectWithError(&error)) << error.description();
      const auto began = std::chrono::steady_clock::now();
      const bool done = download ? sftp.copyItemAtRemotePath(remote + "/copy", local + "/back", &error)
                                 : sftp.copyItemAtPath(local + "/source", remote + "/copy", &error);
      ASSERT_TRUE(done) << error.description();
      EXPECT_TRUE(readFile(download ? local + "/back" : remote + "/copy") == bytes);

      // One count with every progress report, right after it, rising to the whole size.
      ASSERT_EQ(delegate.counts.size(), delegate.progress.size());
      ASSERT_FALSE(delegate.counts.empty());
      for (std::size_t i = 0; i < delegate.counts.size(); ++i) {
        ASSERT_EQ(delegate.counts[i].total, size) << i;
        if (i > 0) {
          ASSERT_GT(delegate.counts[i].done, delegate.counts[i - 1].done) << i;
        }
      }
      EXPECT_EQ(delegate.counts.back().done, size);
      for (std::size_t i = 1; i < delegate.events.size(); ++i) {
        if (delegate.events[i] == "bytes") {
          ASSERT_EQ(delegate.events[i - 1], "progress") << i;
        }
      }
      // The smoothed rate at the end is within a factor of two of the rate the bytes arrived at
      // over the last second (the whole call, when shorter); pipelined, so is the speed text (which once timed one
      // acknowledgement's burst alone).
      const double real = delegate.observedRate(began);
      EXPECT_GT(delegate.counts.back().rate, real / 2) << "real " << real;
      EXPECT_LT(delegate.counts.back().rate, real * 2) << "real " << real;
      ASSERT_EQ(delegate.speeds.size(), delegate.counts.size());
      if (pipelined) {
        const double last = speedOf(delegate.speeds.back());
        EXPECT_GT(last, real / 2) << delegate.speeds.back() << ", real " << real;
        EXPECT_LT(last, real * 2) << delegate.speeds.back() << ", real " << real;
      }
    }
  }
}

TEST(FRXTransferProgress, EachObjectCanSwitchItsOwnSpeedTexts) {
  const std::string remote = server().newRemoteDirectory("speed-switch");
  const std::string local = server().localDirectory() + "/speed-switch";
  writeFile(local, patternBytes(40000));
  SpeedRecordingDelegate first;
  SpeedRecordingDelegate second;
  auto on = connectedSFTP(&first);
  auto off = connectedSFTP(&second);
  // The last connect set the process-wide flag; each object's own setting wins over it.
  ASSERT_EQ(shouldUpdateSpeed.load(), 1);
  off->setReportsSpeed(false);
  shouldUpdateSpeed.store(0);
  on->setReportsSpeed(true);
  ASSERT_TRUE(on->copyItemAtPath(local, remote + "/a"));
  ASSERT_TRUE(off->copyItemAtPath(local, remote + "/b"));
  EXPECT_EQ(first.speeds.size(), 3u);
  EXPECT_TRUE(second.speeds.empty());
  EXPECT_EQ(second.progress.size(), 3u);
  // Unset again: the flag decides.
  on->setReportsSpeed(std::nullopt);
  first.clear();
  ASSERT_TRUE(on->copyItemAtPath(local, remote + "/c"));
  EXPECT_TRUE(first.speeds.empty());
  shouldUpdateSpeed.store(1);
}

// Stalls the server from the first progress report on, for `stall` (or until the test resumes it).
class PausingDelegate : public RecordingDelegate {
public:
  explicit PausingDelegate(std::optional<std::chrono::milliseconds> stall) : stall_(stall) {}
  ~PausingDelegate() override {
    if (resumer_.joinable()) resumer_.join();
    server().pauseConnections(false);
  }
  void connectionDidUpdateProgress(FRXConnection& connection, double value) override {
    if (progress.empty()) {
      server().pauseConnections(true);
      if (stall_) {
        resumer_ = std::thread([stall = *stall_] {
          std::this_thread::sleep_for(stall);
          server().pauseConnections(false);
        });
      }
    }
    RecordingDelegate::connectionDidUpdateProgress(connection, value);
  }

private:
  std::optional<std::chrono::milliseconds> stall_;
  std::thread resumer_;
};

TEST(FRXTransferStalls, AStallShorterThanTheTimeoutIsRiddenOutWithKeepalives) {
  const std::string remote = server().newRemoteDirectory("blip");
  const std::string local = server().localDirectory() + "/blip";
  std::filesystem::create_directories(local);
  // Large enough that most of it is still to come when the link is cut at the first report.
  const std::string bytes = patternBytes(3 * 1024 * 1024 + 5, 31);
  writeFile(remote + "/source", bytes);
  writeFile(local + "/source", bytes);
  // Keepalives every second (libssh2 makes it two), a cut of 3 s: longer than the interval, shorter
  // than the timeout and than the keepalives allowed to go unanswered.
  for (bool pipelined : {true, false}) {
    // Uploads wait for the server's answers, and a stop-and-wait download reads little ahead, so the
    // cut always finds the transfer waiting.
    SCOPED_TRACE(pipelined ? "pipelined upload" : "stop-and-wait download");
    PausingDelegate delegate(std::chrono::milliseconds(3000));
    auto sftp = connectedSFTP(&delegate);
    sftp->setPipelined(pipelined);
    sftp->setTimeout(10);
    sftp->setServerAliveInterval(1);
    sftp->setServerAliveCountMax(3);
    FRXError error;
    const auto began = std::chrono::steady_clock::now();
    const bool done = pipelined ? sftp->copyItemAtPath(local + "/source", remote + "/copy", &error)
                                : sftp->copyItemAtRemotePath(remote + "/source", local + "/copy", &error);
    EXPECT_TRUE(done) << error.description() << " / " << error.sessionErrorMessage;
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(2900));
    EXPECT_TRUE(readFile(pipelined ? remote + "/copy" : local + "/copy") == bytes);
    EXPECT_EQ(delegate.outcomes(), Events{"complete"});
  }
}

TEST(FRXTransferStalls, ADeadLinkFailsWhenItsKeepalivesGoUnanswered) {
  const std::string remote = server().newRemoteDirectory("dead");
  const std::string local = server().localDirectory() + "/dead";
  std::filesystem::create_directories(local);
  // Far more than libssh2 reads ahead, so that the download is waiting when the link dies.
  writeFile(remote + "/source", patternBytes(kLarge, 37));
  PausingDelegate delegate(std::nullopt);
  auto sftp = connectedSFTP(&delegate);
  sftp->setPipelined(true);
  sftp->setTimeout(60);
  sftp->setServerAliveInterval(1);
  sftp->setServerAliveCountMax(1);
  FRXError error;
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(sftp->copyItemAtRemotePath(remote + "/source", local + "/copy", &error));
  const auto took = std::chrono::steady_clock::now() - began;
  // One keepalive unanswered for an interval (2 s at the least): dead well before the timeout.
  EXPECT_LT(took, std::chrono::seconds(15));
  EXPECT_EQ(error.code, FRXSFTPErrorTimedOut);
  EXPECT_EQ(error.reason(), "timed out");
  EXPECT_EQ(error.localizedDescription, "The server did not answer its keepalive messages.");
  EXPECT_FALSE(exists(local + "/copy"));
  EXPECT_EQ(temporaryFilesIn(local), 0u);
}

// Disconnects from the failure callback.
class DisconnectingOnFailureDelegate : public RecordingDelegate {
public:
  void connectionDidFailOperationWithError(FRXConnection& connection, const FRXError* error) override {
    RecordingDelegate::connectionDidFailOperationWithError(connection, error);
    connection.disconnect();
  }
};

TEST(FRXTransferStops, ADisconnectAskedForWhenADownloadFailsAfterItsOpenIsCarriedOut) {
  const std::string remote = server().newRemoteDirectory("pending");
  const std::string local = server().localDirectory() + "/pending";
  std::filesystem::create_directories(local);
  writeFile(remote + "/short", "short");
  writeFile(local + "/longer", "longer than the remote file");
  {
    // Resuming onto a local file longer than the remote one fails once the remote file is open.
    DisconnectingOnFailureDelegate delegate;
    auto sftp = connectedSFTP(&delegate);
    FRXError error;
    EXPECT_FALSE(sftp->resumeItemAtRemotePath(remote + "/short", local + "/longer", &error));
    EXPECT_EQ(error.code, FRXSFTPErrorLocalFile);
    EXPECT_EQ(delegate.outcomes(), Events{"fail:frx_sftp_error_domain:6"});
    EXPECT_FALSE(sftp->FRXConnection::isConnected()) << "the session is still held";
  }
  // The type check through the open file: the remote path is swapped between a file and a
  // directory while downloads run. About one failure in three comes from a download whose check by
  // path saw the file and which then opened the directory; twelve failures miss that case with a
  // chance of 1 in 130. Every one of them must leave no session held.
  const std::string item = remote + "/item";
  const std::string other = remote + "/other";
  writeFile(item, patternBytes(1000));
  std::filesystem::create_directory(other);
  server().giveToUser(item);
  server().giveToUser(other);
  std::atomic<bool> swapping{true};
  std::thread swapper([&] {
    while (swapping.load()) renameat2(AT_FDCWD, item.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
  });
  int failures = 0;
  for (int connection = 0; connection < 300 && failures < 12; ++connection) {
    DisconnectingOnFailureDelegate delegate;
    auto sftp = connectedSFTP(&delegate);
    FRXError error;
    while (sftp->isConnected() && sftp->copyItemAtRemotePath(item, local + "/copy", &error)) {
    }
    EXPECT_EQ(error.code, FRXSFTPErrorNotRegularFile);
    EXPECT_FALSE(sftp->FRXConnection::isConnected()) << "the session is still held";
    ++failures;
  }
  swapping.store(false);
  swapper.join();
  EXPECT_EQ(failures, 12);
}

// Streams: a file of at least the threshold is split over several further connections.
constexpr std::uint64_t kStreamThreshold = 64 * 1024;
constexpr std::size_t kStreamed = 5 * 1024 * 1024 + 4321;

std::unique_ptr<FRXSFTP> streamingSFTP(FRXObject* delegate, int streams = 3) {
  auto sftp = connectedSFTP(delegate);
  sftp->setPipelined(true);
  sftp->setStreams(streams);
  sftp->setStreamThreshold(kStreamThreshold);
  return sftp;
}

// What the delegate heard of files of these sizes moved one after the other: for each, a speed
// and a progress report per chunk in order (100 last), then its outcome; `failing` fails at once.
void expectReportsPerFile(const CallbackLog& log, const std::vector<std::size_t>& sizes,
                          std::optional<std::size_t> failing = std::nullopt) {
  std::size_t event = 0;
  std::size_t progress = 0;
  for (std::size_t file = 0; file < sizes.size(); ++file) {
    SCOPED_TRACE("file " + std::to_string(file));
    if (file == failing) {
      ASSERT_LT(event, log.events.size());
      EXPECT_EQ(log.events[event++].rfind("fail:", 0), 0u);
      continue;
    }
    const std::size_t size = sizes[file];
    for (std::size_t done = 0; done < size; done = std::min(done + FRXSFTP::chunkSize, size)) {
      const std::size_t reported = std::min(done + FRXSFTP::chunkSize, size);
      ASSERT_LT(event + 1, log.events.size());
      ASSERT_EQ(log.events[event++], "speed");
      ASSERT_EQ(log.events[event++], "progress");
      ASSERT_EQ(log.progress[progress++], FRXTransferProgress(reported, size)) << reported;
    }
    ASSERT_LT(event, log.events.size());
    EXPECT_EQ(log.events[event++], "complete");
  }
  EXPECT_EQ(event, log.events.size());
}

TEST(FRXTransferStreams, BigFilesMoveOverSeveralStreamsByteExactWithTheReportsOfOne) {
  const std::string remote = server().newRemoteDirectory("streams");
  const std::string local = server().localDirectory() + "/streams";
  std::filesystem::create_directories(local);
  const std::string bytes = patternBytes(kStreamed, 31);
  writeFile(local + "/source", bytes, 0640);
  SpeedRecordingDelegate delegate;
  auto sftp = streamingSFTP(&delegate);
  const std::size_t loginsBefore = server().acceptedLogins();
  FRXError error;
  ASSERT_TRUE(sftp->copyItemAtPath(local + "/source", remote + "/copy", &error)) << error.description();
  EXPECT_TRUE(readFile(remote + "/copy") == bytes);
  EXPECT_EQ(modeOf(remote + "/copy"), 0640u);
  expectReportsPerFile(delegate, {kStreamed});
  EXPECT_EQ(server().acceptedLogins() - loginsBefore, 3u) << "one login per stream";

  delegate.clear();
  ASSERT_TRUE(sftp->copyItemAtRemotePath(remote + "/copy", local + "/back", &error)) << error.description();
  EXPECT_TRUE(readFile(local + "/back") == bytes);
  EXPECT_EQ(temporaryFilesIn(local), 0u);
  expectReportsPerFile(delegate, {kStreamed});
  EXPECT_EQ(server().acceptedLogins() - loginsBefore, 3u) << "the streams are kept for the next file";
  EXPECT_EQ(sftp->availableStreams(), 3);
}

TEST(FRXTransferStreams, AServerThatRefusesSomeConnectionsGetsFewerStreams) {
  // This connection and two more are let through; the third stream is refused.
  LatencyProxy proxy(server().port(), std::chrono::microseconds(0), 3);
  ASSERT_NE(proxy.port(), 0);
  const std::string remote = server().newRemoteDirectory("refused");
  const std::string local = server().localDirectory() + "/refused";
  std::filesystem::create_directories(local);
  const std::string bytes = patternBytes(kStreamed, 37);
  writeFile(local + "/source", bytes);
  SpeedRecordingDelegate delegate;
  FRXSFTP sftp("127.0.0.1", server().user(), server().privateKeyPath(), std::nullopt);
  sftp.setPort(proxy.port());
  sftp.setDelegate(&delegate);
  sftp.setPipelined(true);
  sftp.setStreams(4);
  sftp.setStreamThreshold(kStreamThreshold);
  FRXError error;
  ASSERT_TRUE(sftp.connectWithError(&error)) << error.description();
  ASSERT_TRUE(sftp.copyItemAtPath(local + "/source", remote + "/copy", &error)) << error.description();
  EXPECT_TRUE(readFile(remote + "/copy") == bytes);
  expectReportsPerFile(delegate, {kStreamed});
  EXPECT_EQ(sftp.streams(), 4);
  EXPECT_EQ(sftp.availableStreams(), 2);
}

// Kills the session of the connection made last (a stream's) from the first progress report.
class StreamKillingDelegate : public RecordingDelegate {
public:
  void connectionDidUpdateProgress(FRXConnection& connection, double value) override {
    if (progress.empty()) server().dropNewestConnection();
    RecordingDelegate::connectionDidUpdateProgress(connection, value);
  }
};

void expectOneFailureAfterRisingProgress(const CallbackLog& log) {
  ASSERT_EQ(log.outcomes().size(), 1u);
  EXPECT_EQ(log.outcomes().front().rfind("fail:", 0), 0u);
  EXPECT_EQ(log.events.back(), log.outcomes().front());
  EXPECT_TRUE(std::is_sorted(log.progress.begin(), log.progress.end()));
}

TEST(FRXTransferStreams, AStreamKilledMidwayFailsOnceAndResumeContinuesFromAWholePrefix) {
  const std::string remote = server().newRemoteDirectory("stream-killed");
  const std::string local = server().localDirectory() + "/stream-killed";
  std::filesystem::create_directories(local);
  const std::string bytes = patternBytes(kLarge, 41);
  writeFile(local + "/source", bytes);
  writeFile(remote + "/source", bytes);
  writeFile(local + "/partial", bytes.substr(0, 1024 * 1024 + 5));
  struct Case {
    const char* name;
    bool download;
    bool resume;
  };
  for (const Case& c : {Case{"download", true, false}, Case{"resumed download", true, true},
                        Case{"upload", false, false}}) {
    SCOPED_TRACE(c.name);
    const std::string copy = c.download ? local + (c.resume ? "/partial" : "/copy") : remote + "/copy";
    {
      StreamKillingDelegate delegate;
      auto sftp = streamingSFTP(&delegate);
      FRXError error;
      const bool done = c.download ? (c.resume ? sftp->resumeItemAtRemotePath(remote + "/source", copy, &error)
                                               : sftp->copyItemAtRemotePath(remote + "/source", copy, &error))
                                   : sftp->copyItemAtPath(local + "/source", copy, &error);
      EXPECT_FALSE(done);
      expectOneFailureAfterRisingProgress(delegate);
      // Only the stream died: this connection goes on.
      EXPECT_TRUE(sftp->isConnected());
      EXPECT_EQ(temporaryFilesIn(local), 0u);
    }
    if (!c.download || c.resume) {
      // What is left is a prefix, whole: no hole for a resume to step over.
      const std::string left = readFile(copy);
      EXPECT_LT(left.size(), bytes.size());
      EXPECT_TRUE(left == bytes.substr(0, left.size())) << left.size();
      SpeedRecordingDelegate delegate;
      auto sftp = streamingSFTP(&delegate);
      FRXError error;
      ASSERT_TRUE(c.download ? sftp->resumeItemAtRemotePath(remote + "/source", copy, &error)
                             : sftp->resumeItemAtPath(local + "/source", copy, &error))
          << error.description();
      EXPECT_TRUE(readFile(copy) == bytes);
      EXPECT_EQ(delegate.outcomes(), Events{"complete"});
      ASSERT_FALSE(delegate.progress.empty());
      EXPECT_EQ(delegate.progress.back(), FRXTransferProgress(bytes.size(), bytes.size()));
    } else {
      EXPECT_FALSE(exists(copy));
    }
  }
}

TEST(FRXTransferStreams, ManyFilesInFlightAreExactReportedInOrderAndAFailingFileAlone) {
  const std::string remote = server().newRemoteDirectory("many");
  const std::string local = server().localDirectory() + "/many";
  std::filesystem::create_directories(local);
  constexpr std::size_t kFiles = 24;
  constexpr std::size_t kMissing = 7;
  std::vector<std::size_t> sizes;
  std::vector<FRXTransferItem> up;
  std::vector<FRXTransferItem> down;
  for (std::size_t i = 0; i < kFiles; ++i) {
    const std::string name = "/f" + std::to_string(i);
    sizes.push_back(1 + i * 3001);
    if (i != kMissing) writeFile(local + name, patternBytes(sizes.back(), static_cast<std::uint32_t>(i)));
    up.push_back({local + name, remote + name, false});
    down.push_back({remote + name, local + "/back" + name, false});
  }
  std::filesystem::create_directories(local + "/back");
  SpeedRecordingDelegate delegate;
  auto sftp = streamingSFTP(&delegate);
  const std::size_t loginsBefore = server().acceptedLogins();
  for (bool upload : {true, false}) {
    SCOPED_TRACE(upload ? "up" : "down");
    delegate.clear();
    std::vector<std::string> seen;
    const FRXTransferItemObserver observer = [&](std::size_t index, const FRXTransferOutcome* outcome) {
      seen.push_back(std::string(outcome == nullptr ? "begin " : outcome->succeeded ? "done " : "failed ") +
                     std::to_string(index));
    };
    const auto outcomes = upload ? sftp->copyItemsAtPaths(up, observer) : sftp->copyItemsAtRemotePaths(down, observer);
    ASSERT_EQ(outcomes.size(), kFiles);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < kFiles; ++i) {
      SCOPED_TRACE(i);
      expected.push_back("begin " + std::to_string(i));
      expected.push_back((i == kMissing ? "failed " : "done ") + std::to_string(i));
      EXPECT_EQ(outcomes[i].succeeded, i != kMissing);
      if (i == kMissing) {
        ASSERT_TRUE(outcomes[i].error);
        EXPECT_EQ(outcomes[i].error->domain, upload ? FRXCocoaErrorDomain : FRXSFTPErrorDomain);
        EXPECT_FALSE(exists(down[i].destinationPath));
      } else {
        EXPECT_TRUE(readFile((upload ? up : down)[i].destinationPath) ==
                    patternBytes(sizes[i], static_cast<std::uint32_t>(i)));
      }
    }
    EXPECT_EQ(seen, expected);
    expectReportsPerFile(delegate, sizes, kMissing);
  }
  EXPECT_EQ(temporaryFilesIn(local + "/back"), 0u);
  EXPECT_EQ(server().acceptedLogins() - loginsBefore, 3u) << "the files went over the streams";
}

TEST(FRXTransferStreams, AStreamKilledDuringManyFilesCostsAtMostTheFileItWasMoving) {
  const std::string remote = server().newRemoteDirectory("many-killed");
  const std::string local = server().localDirectory() + "/many-killed";
  std::filesystem::create_directories(local);
  constexpr std::size_t kFiles = 60;
  std::vector<FRXTransferItem> items;
  for (std::size_t i = 0; i < kFiles; ++i) {
    const std::string name = "/f" + std::to_string(i);
    writeFile(local + name, patternBytes(20000 + i, static_cast<std::uint32_t>(i)));
    items.push_back({local + name, remote + name, false});
  }
  StreamKillingDelegate delegate;
  auto sftp = streamingSFTP(&delegate);
  const auto outcomes = sftp->copyItemsAtPaths(items);
  std::size_t failed = 0;
  for (std::size_t i = 0; i < kFiles; ++i) {
    if (!outcomes[i].succeeded) {
      ++failed;
      continue;
    }
    EXPECT_TRUE(readFile(items[i].destinationPath) == patternBytes(20000 + i, static_cast<std::uint32_t>(i))) << i;
  }
  // The dead stream takes no further file: the others, and this connection, move the rest.
  EXPECT_LE(failed, 1u);
  EXPECT_EQ(delegate.outcomes().size(), kFiles) << "one outcome a file";
  EXPECT_TRUE(sftp->isConnected());
}

}  // namespace
