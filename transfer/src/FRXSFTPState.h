// What an FRXSFTP holds behind its interface: the SFTP channel, the transfer in progress and the
// further connections that parallel streams use.
#pragma once

#include "FRXHandles.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class FRXSFTP;

struct FRXSFTPState {
  FRXSFTPChannelHandle channel;
  // The remote file of the transfer in progress. While one is open, disconnect() only asks for the
  // end: the transfer stops, closes its file and then disconnects, as libssh2 must see a file
  // closed before its channel.
  FRXSFTPFileHandle* transferHandle = nullptr;
  // A transfer of many files is under way on the streams: disconnect() waits for its end too, as
  // the streams' threads still use the connections it would release.
  bool itemsInFlight = false;
  bool disconnectPending = false;
  std::atomic<bool> cancelRequested{false};
  bool pipelined = false;
  std::optional<bool> reportsSpeed;

  int streams = 1;
  std::uint64_t streamThreshold = std::uint64_t{64} << 20;
  // Set once the server refused a further connection: the number it took, never asked beyond.
  std::optional<int> streamLimit;
  // The further connections, each used by one thread at a time, opened on first need.
  std::vector<std::unique_ptr<FRXSFTP>> streamConnections;
  // This object is itself such a connection: its connect leaves the process-wide speed flag alone.
  bool isStream = false;
};
