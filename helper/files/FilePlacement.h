// The one way a result reaches a client's directory. An item is taken into a private place of
// root's, given there (with everything inside) to the user who sent the request, and only then
// published into the client's directory under its own or a numbered name; a copy is made out of
// sight and named in one step. Every collector and the log gathering place their results here.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "helper/files/ClientDirectory.h"
#include "helper/files/PrivatePlace.h"
#include "helper/files/Staging.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Regex.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/URL.h"

namespace zeb::files {

// Where a tool that writes a report into a folder works: a private place of root's, made fresh for
// the request and removed with the last holder (a tool's completion keeps it). `directory` is the
// same folder, for searching it and moving items into it by descriptor.
struct WorkPlace {
  PrivatePlace place;
  ClientDirectory directory;
};
using SharedWork = std::shared_ptr<const WorkPlace>;
[[nodiscard]] Result<SharedWork> openWorkPlace();

// Where a placed item ended up, and whether all of it did: what inside could not be given (a file
// with other names elsewhere, a device) is taken out before it is published.
struct Published {
  std::string path;  // the client's directory path joined with the final name
  bool complete = true;
};

// What a placement does with what inside an item cannot be given to the client.
enum class Giving {
  kWhole,        // nothing is placed unless all of it can be given
  kTakeOutRest,  // it is taken out, the rest placed, and the answer says it is not complete
};

class FilePlacement {
 public:
  // `client`: the effective uid of the request's sender (kNoUser owns nothing).
  explicit FilePlacement(uid_t client) : client_(client) {}

  uid_t client() const { return client_; }

  // Moves the item at `source` into the directory at `toDirectory`, opened as ClientDirectory::open
  // does for the client, as a whole; see moveItem.
  [[nodiscard]] Result<std::string> movePath(std::string_view source, std::string_view toDirectory,
                                             std::int16_t permissions) const;

  // Moves the item at `source` (never followed; links, devices, pipes and sockets are refused) into
  // `directory` by way of a new private place, where it is given to the client unless `permissions`
  // is 0 (the bits are not a mode). Nothing is replaced and no one ever sees a partial item; an item
  // that already is in `directory` comes back under its own name. An item that could not be placed
  // goes back to its source. Logs "Moving %s -> %s" and, on failure, "Error moving %s -> %s: %s".
  [[nodiscard]] Result<Published> moveItem(std::string_view source, const ClientDirectory& directory,
                                           std::int16_t permissions, Giving giving) const;

  // Gives the entry `name` of the work place, with everything inside, to the client while it is
  // still out of everyone's reach, then moves it into `directory` under its own or a numbered name.
  // The top item must become the client's, or nothing is published (EPERM's error). Log lines name
  // the item `sourceForLog` (default: its path in the work place).
  [[nodiscard]] Result<Published> publishEntry(const ClientDirectory& directory, const WorkPlace& work,
                                               const std::string& name, std::string_view sourceForLog = {},
                                               std::int16_t permissions = kGiven,
                                               Giving giving = Giving::kTakeOutRest) const;

  // Copies the item `sourceFd` (see stageCopy) to exactly `destinationPath`, whose directory is
  // opened for the client, within `budget`; the copy is then given to the client. 516 when the name
  // is taken.
  [[nodiscard]] Result<PlacedItem> copyItem(int sourceFd, std::string_view sourcePath,
                                            std::string_view destinationPath, CopyBudget* budget = nullptr) const;

  // The entries directly in the directory (root-owned links on the way followed, others not) created
  // strictly after `createdAfter` minus one second, whose names the pattern matches exactly once,
  // as URLs below the resolved directory; oldest first. Symbolic links never qualify. Logs "Looking
  // in %s for files created after %s with pattern %s". A directory that cannot be opened gives none;
  // one whose reading fails is an error.
  [[nodiscard]] Result<std::vector<URL>> findEntriesInDirectory(const URL& directory, Date createdAfter,
                                                                const Regex& pattern) const;

  // The permissions every production caller asks for: give the item to the client.
  static constexpr std::int16_t kGiven = 0666;

 private:
  uid_t client_;
};

}  // namespace zeb::files
