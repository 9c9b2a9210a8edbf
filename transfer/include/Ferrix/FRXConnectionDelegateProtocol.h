// What an FRXConnection tells its delegate. A delegate is an FRXObject that also derives from
// FRXConnectionDelegateProtocol; the transfer speed callback is a separate, optional interface.
#pragma once

#include <Ferrix/FRXError.h>
#include <Ferrix/FRXExport.h>

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
