// Parallel streams of an FRXSFTP: its further connections of the same login, one thread each, and
// the two ways work is spread over them (parts of one big file, or whole files of many). The
// delegate is only ever called from the caller's thread.
#pragma once

#include <Ferrix/FRXSFTP.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

// One file to move over the streams, already opened and checked by the caller's connection.
struct FRXStreamedFile {
  std::string_view remotePath;
  bool upload = true;
  // The local file: read from (upload) or written into (download) at offsets.
  std::string_view localPath;
  int localDescriptor = -1;
  // The bytes already in place (resumed) and the file's whole size.
  std::uint64_t start = 0;
  std::uint64_t size = 0;
};

struct FRXStreamedOutcome {
  std::optional<FRXError> error;  // set on failure
  bool delegateHearsError = true;
  // The bytes from the file's start known to be in place: all of it on success; on failure up to
  // the first byte that no stream had yet moved.
  std::uint64_t wholePrefix = 0;
};

class FRXStreams {
public:
  // Opens further connections until `wanted` are held (at once, each on its own thread) and
  // returns how many are. One the server refuses lowers the object's limit for good.
  static int open(FRXSFTP& owner, int wanted);

  // Moves the file's bytes from `start` on over the first `count` held streams. On the caller's thread, every
  // few milliseconds: `acknowledged` with the bytes in place in all, then `stopped` (true: cancel).
  static FRXStreamedOutcome moveFile(FRXSFTP& owner, int count, const FRXStreamedFile& file,
                                     const std::function<void(std::uint64_t)>& acknowledged,
                                     const std::function<bool()>& stopped);

  // Moves whole files, one per stream at a time over the first `count` held streams, replaying
  // each file's reports to the owner's delegate in the order of `items`. With no stream, or once
  // every stream has broken, the owner moves what is left itself.
  static std::vector<FRXTransferOutcome> moveItems(FRXSFTP& owner, int count, const std::vector<FRXTransferItem>& items,
                                                   bool upload, const FRXTransferItemObserver& observer);

private:
  static std::vector<FRXSFTP*> heldStreams(FRXSFTP& owner, int count);
};
