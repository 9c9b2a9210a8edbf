// Delegates that write down every callback they receive, in order, as short texts:
//   "fail:<domain>:<code>" / "fail:none", "complete", "progress:<value>", "speed:<text>".
#pragma once

#include <Ferrix/Ferrix.h>

#include <algorithm>
#include <string>
#include <vector>

class CallbackLog {
public:
  std::vector<std::string> events;
  std::vector<double> progress;
  std::vector<std::string> speeds;

  [[nodiscard]] long count(const std::string& event) const {
    return std::count(events.begin(), events.end(), event);
  }
  [[nodiscard]] std::vector<std::string> outcomes() const {
    std::vector<std::string> kept;
    for (const std::string& e : events) {
      if (e.rfind("fail:", 0) == 0 || e == "complete") kept.push_back(e);
    }
    return kept;
  }
  void clear() {
    events.clear();
    progress.clear();
    speeds.clear();
  }

protected:
  void failed(const FRXError* error) {
    events.push_back(error == nullptr ? "fail:none" : "fail:" + error->domain + ":" + std::to_string(error->code));
  }
  void completed() { events.emplace_back("complete"); }
  void progressed(double value) {
    progress.push_back(value);
    events.push_back("progress");
  }
  void sped(const std::string& text) {
    speeds.push_back(text);
    events.push_back("speed");
  }
};

// Implements the required callbacks only.
class RecordingDelegate : public FRXObject, public FRXConnectionDelegateProtocol, public CallbackLog {
public:
  void connectionDidFailOperationWithError(FRXConnection&, const FRXError* error) override { failed(error); }
  void connectionDidCompleteOperation(FRXConnection&) override { completed(); }
  void connectionDidUpdateProgress(FRXConnection&, double value) override { progressed(value); }
};

// Implements the required callbacks and the speed callback.
class SpeedRecordingDelegate : public RecordingDelegate, public FRXConnectionSpeedDelegateProtocol {
public:
  void connectionDidUpdateTransferSpeed(FRXConnection&, const std::string& text) override { sped(text); }
};

// Does not declare the delegate protocol, but has the speed callback.
class NonConformingDelegate : public FRXObject, public FRXConnectionSpeedDelegateProtocol, public CallbackLog {
public:
  void connectionDidUpdateTransferSpeed(FRXConnection&, const std::string& text) override { sped(text); }
};
