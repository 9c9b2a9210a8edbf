// How the ferrix command shows a transfer: scp's redrawn line on a terminal (name, percent, bytes,
// rate, ETA; the elapsed time once done), otherwise one line per file once it is done.
#pragma once

#include <Ferrix/Ferrix.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace ferrix {

class Progress final : public FRXObject,
                       public FRXConnectionDelegateProtocol,
                       public FRXConnectionTransferDelegateProtocol {
public:
  // `terminal`: whether standard error is one; `quiet`: nothing at all is shown.
  Progress(bool terminal, bool quiet) : terminal_(terminal), quiet_(quiet) {}

  void begin(std::string name);
  // Ends the file's line: the final line when it succeeded, else only a clean end of the line.
  void end(bool succeeded);

  void connectionDidFailOperationWithError(FRXConnection&, const FRXError*) override {}
  void connectionDidCompleteOperation(FRXConnection&) override {}
  void connectionDidUpdateProgress(FRXConnection&, double) override {}
  void connectionDidTransferBytes(FRXConnection&, std::uint64_t bytesDone, std::uint64_t bytesTotal,
                                  double bytesPerSecond) override;

private:
  using Clock = std::chrono::steady_clock;

  void draw(bool final);

  const bool terminal_;
  const bool quiet_;
  std::string name_;
  bool active_ = false;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point lastDraw_;
  std::uint64_t first_ = 0;  // bytes at the first report, and when it came
  Clock::time_point firstAt_;
  bool heard_ = false;
  std::uint64_t done_ = 0;
  std::uint64_t total_ = 0;
  double rate_ = 0;
};

}  // namespace ferrix
