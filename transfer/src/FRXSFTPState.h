// What an FRXSFTP holds behind its interface: the SFTP channel and the transfer in progress.
#pragma once

#include "FRXHandles.h"

#include <atomic>
#include <optional>

struct FRXSFTPState {
  FRXSFTPChannelHandle channel;
  // The remote file of the transfer in progress. While one is open, disconnect() only asks for the
  // end: the transfer stops, closes its file and then disconnects, as libssh2 must see a file
  // closed before its channel.
  FRXSFTPFileHandle* transferHandle = nullptr;
  bool disconnectPending = false;
  std::atomic<bool> cancelRequested{false};
  bool pipelined = false;
  std::optional<bool> reportsSpeed;
};
