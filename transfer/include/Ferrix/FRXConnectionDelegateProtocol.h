// What an FRXConnection tells its delegate. A delegate is an FRXObject that also derives from
// FRXConnectionDelegateProtocol; the transfer speed and byte-count callbacks are separate, optional
// interfaces.
#pragma once

#include <Ferrix/FRXError.h>
#include <Ferrix/FRXExport.h>

#include <cstdint>
#include <string>

class FRXConnection;

class FRX_EXPORT FRXConnectionDelegateProtocol {
public:
  virtual ~FRXConnectionDelegateProtocol();

  // An operation ended in failure. `error` may be null: some failures carry no error.
  virtual void connectionDidFailOperationWithError(FRXConnection& connection, const FRXError* error) = 0;
  // An operation ended in success.
  virtual void connectionDidCompleteOperation(FRXConnection& connection) = 0;
  // After each chunk of a transfer: the percentage transferred so far.
  virtual void connectionDidUpdateProgress(FRXConnection& connection, double progress) = 0;

protected:
  FRXConnectionDelegateProtocol() = default;
  FRXConnectionDelegateProtocol(const FRXConnectionDelegateProtocol&) = default;
  FRXConnectionDelegateProtocol& operator=(const FRXConnectionDelegateProtocol&) = default;
};

// The optional callback: a delegate that wants speed texts ("12.34 MBps") derives from this too.
class FRX_EXPORT FRXConnectionSpeedDelegateProtocol {
public:
  virtual ~FRXConnectionSpeedDelegateProtocol();

  virtual void connectionDidUpdateTransferSpeed(FRXConnection& connection, const std::string& speed) = 0;

protected:
  FRXConnectionSpeedDelegateProtocol() = default;
  FRXConnectionSpeedDelegateProtocol(const FRXConnectionSpeedDelegateProtocol&) = default;
  FRXConnectionSpeedDelegateProtocol& operator=(const FRXConnectionSpeedDelegateProtocol&) = default;
};

// The optional byte counts, for a UI that draws its own progress: a delegate that derives from this
// too hears them after each chunk a transfer reports (with the progress report, in the same order).
class FRX_EXPORT FRXConnectionTransferDelegateProtocol {
public:
  virtual ~FRXConnectionTransferDelegateProtocol();

  // `bytesDone` of `bytesTotal` are across (a resumed transfer counts what was there before;
  // `bytesTotal` is 0 when the server did not tell the size). `bytesPerSecond` is the rate over
  // about the last second (since the start during the first one).
  virtual void connectionDidTransferBytes(FRXConnection& connection, std::uint64_t bytesDone,
                                          std::uint64_t bytesTotal, double bytesPerSecond) = 0;

protected:
  FRXConnectionTransferDelegateProtocol() = default;
  FRXConnectionTransferDelegateProtocol(const FRXConnectionTransferDelegateProtocol&) = default;
  FRXConnectionTransferDelegateProtocol& operator=(const FRXConnectionTransferDelegateProtocol&) = default;
};
