// The frame and value decoder, with the daemon's interface validation behind it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/ZEBPrivilegedProtocols.h"
#include "protocol/ValueCodec.h"

namespace {

class NullDaemon final : public ZEBPrivilegedDaemonProtocol {
 public:
  void performReadyCheck() override {}
  void showPrivileges() override {}
  void stopDaemon() override {}
  void runMobilityReportWithDestination(const zeb::URL& d) override { touch(d); }
  void runSysdiagnoseWithDestination(const zeb::URL& d) override { touch(d); }
  void runWifiDiagnoseWithDestination(const zeb::URL& d) override { touch(d); }
  void runBluetoothDiagnoseWithDestination(const zeb::URL& d, const std::string& u) override { touch(d), sink += u.size(); }
  void runTMDiagnoseWithDestination(const zeb::URL& d) override { touch(d); }
  void runMDSDiagnoseWithDestination(const zeb::URL& d) override { touch(d); }
  void sampleProcessWithPID(std::uint64_t pid, const zeb::URL& d) override { touch(d), sink += pid; }
  void gatherSyslogsWithDestination(const zeb::URL& d) override { touch(d); }
  void gatherInstallLogsWithDestination(const zeb::URL& d) override { touch(d); }
  void copyLogFiles(const zeb::Dictionary& files) override {
    for (const auto& [k, v] : files) sink += k.size() + v.asString()->size();
  }
  std::size_t sink = 0;

 private:
  void touch(const zeb::URL& d) { sink += d.path().size(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static NullDaemon daemon;
  static auto interface = makeDaemonInterface(daemon);
  auto message = zeb::xpc::decodeMessage(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!message.ok()) return 0;
  auto method = interface->validate(*message);
  if (method.ok()) (*method)->handler(nullptr, message->arguments);
  // What decodes must encode again and decode to the same: compared as encodings, since a NaN the
  // peer sent is not equal to itself.
  const std::string again = zeb::xpc::encodeFrame(message->selector, message->arguments);
  auto back = zeb::xpc::decodeMessage(std::string_view(again).substr(4));
  if (!back.ok() || zeb::xpc::encodeFrame(back->selector, back->arguments) != again) __builtin_trap();
  return 0;
}
