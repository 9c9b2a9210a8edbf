// The commands of the ferrix command line and of its batch files: read and checked before any
// connection is made, then run one after another on one session.
#pragma once

#include <Ferrix/Ferrix.h>

#include <csignal>

#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ferrix {

class Progress;

// A download in progress, for the signal handler to cancel (its temporary file goes away), and the
// signal that came.
extern std::atomic<FRXSFTP*> transferring;
extern volatile std::sig_atomic_t caughtSignal;

struct Command {
  std::string name;
  std::set<std::string> flags;  // "-l", "-a", "-r", "-p", "--resume", "--json", ...
  std::vector<std::string> arguments;
  bool ignoreErrors = false;  // a batch line that began with "-"
};

// The flags a command takes (its own words after the command name).
bool isCommandFlag(const std::string& command, const std::string& word);
// Checks a command's words; nullopt with `why` when they are not a command ferrix knows.
std::optional<Command> makeCommand(const std::string& name, std::set<std::string> flags,
                                   std::vector<std::string> arguments, std::string& why);
// One batch line ("-" in front: its failure is passed over); nullopt for a blank or comment line.
std::optional<Command> parseBatchLine(const std::string& line, std::string& why, bool& blank);

class Session {
public:
  // `preserve`: -p for every transfer.
  Session(FRXSFTP& sftp, Progress& progress, bool preserve, std::string remoteDirectory)
      : sftp_(sftp), progress_(progress), preserve_(preserve), cwd_(std::move(remoteDirectory)) {}

  // 0, or 1 after the failure was reported.
  int run(const Command& command);

private:
  int list(const Command& command);
  int status(const Command& command);
  int get(const Command& command);
  int put(const Command& command);
  int remove(const Command& command);
  int changeDirectory(const std::string& path);

  struct RemoteTimes {
    std::optional<std::int64_t> modification;
    std::optional<std::int64_t> access;
  };
  struct PendingUpload {
    std::string local;
    std::string remote;
    bool resume = false;
  };
  struct PendingDownload {
    std::string remote;
    std::string local;
    bool resume = false;
    std::uint64_t permissions = 0;
    std::int64_t size = 0;
    RemoteTimes times;
  };
  // Moves the files, several at once over the streams, and reports each failure; 0 when all
  // arrived, else 1.
  int uploadAll(const std::vector<PendingUpload>& files);
  int downloadAll(const std::vector<PendingDownload>& files);
  // -p after a download: the remote item's mode and times on the local copy.
  int keepAttributes(const std::string& remote, const std::string& local, std::uint64_t permissions,
                     const RemoteTimes& times);
  // The files below a directory, added to `files`; the directories on the other side are made on
  // the way (downloads: also added to `directories`, for their modes once their files are in).
  int collectUploadTree(const std::string& local, const std::string& remote, std::vector<PendingUpload>& files);
  int collectDownloadTree(const std::string& remote, const std::string& local, int depth, std::uint64_t permissions,
                          std::vector<PendingDownload>& files,
                          std::vector<std::pair<std::string, std::uint64_t>>& directories);
  // -v: says once that the server took fewer connections than --streams asked for.
  void noteStreams();
  int makeDirectory(const std::string& path, bool parents);

  // A path of the command line as the server must see it: relative ones below the directory of cd.
  std::string remotePath(const std::string& path) const;
  // The names a remote glob matches (in the last component only), sorted; the path itself when it
  // has no glob characters.
  std::optional<std::vector<std::string>> expandRemote(const std::string& path, const std::string& what);
  std::optional<FRXSFTPRecord> remoteItem(const std::string& path);

  FRXSFTP& sftp_;
  Progress& progress_;
  const bool preserve_;
  bool keepModes_ = false;  // -p, given once for all or to the command running
  std::string cwd_;  // empty: the server's login directory
  bool streamsNoted_ = false;
};

}  // namespace ferrix
