#include "helper/files/FilePlacement.h"

#include <sys/stat.h>
#include <syslog.h>

#include <chrono>

#include "helper/files/ClientDirectory.h"
#include "helper/files/DirectorySearch.h"
#include "helper/files/LogText.h"
#include "helper/files/Ownership.h"
#include "helper/files/PathPolicy.h"
#include "platform/filesystem/PathWalk.h"
#include "platform/foundation/Log.h"

namespace zeb::files {

std::optional<std::string> FilePlacement::movePath(std::string_view source, std::string_view toDirectory,
                                                   std::int16_t permissions, Error* error) const {
  const std::string sourceText = printableText(source);
  const std::string normalSource = lexicallyNormalPath(source);
  std::string target = joinPath(lexicallyNormalPath(toDirectory), lastComponent(normalSource));
  systemLog(LOG_NOTICE, "Moving %s -> %s", sourceText.c_str(), printableText(target).c_str());

  const auto giveUp = [&](Error failure) -> std::optional<std::string> {
    systemLog(LOG_ERR, "Error moving %s -> %s: %s", sourceText.c_str(), printableText(target).c_str(),
              printableText(failure.localizedDescription()).c_str());
    if (error) *error = std::move(failure);
    return std::nullopt;
  };

  Result<ClientDirectory> directory = ClientDirectory::open(toDirectory, client_);
  if (!directory) return giveUp(std::move(directory).takeError());
  std::string lastTarget;
  Result<PlacedItem> placed = directory->moveItem(source, &lastTarget);
  if (!lastTarget.empty()) target = directory->pathOf(lastTarget);
  if (!placed) return giveUp(std::move(placed).takeError());
  if (permissions != 0) (void)reownItem(placed->fd.get(), placed->path, client_, /*recursively=*/true);
  return placed->path;
}

bool FilePlacement::fixPermissionsOfURL(const URL& url, bool recursively) const {
  const uid_t owner = client_;
  Result<WalkedItem> item = walkPath(url.path(), FinalLink::kOpenLinkItself, FileOperation::kWrite);
  if (!item) return true;  // nothing there (or not reachable safely): nothing to change
  return reownItem(item->fd.get(), url.path(), owner, recursively).ok();
}

std::vector<URL> FilePlacement::findEntriesInDirectory(const URL& directory, Date createdAfter,
                                                       const Regex& pattern) const {
  const Date threshold = createdAfter - std::chrono::seconds(1);
  Result<WalkedItem> dir = walkPath(directory.path(), FinalLink::kFollow, FileOperation::kRead);
  const std::string resolved = dir ? dir->resolvedPath : lexicallyNormalPath(directory.path());
  systemLog(LOG_NOTICE, "Looking in %s for files created after %s with pattern %s", printableText(resolved).c_str(),
            describeDate(createdAfter).c_str(), pattern.pattern().c_str());
  std::vector<URL> urls;
  if (!dir || !S_ISDIR(dir->status.st_mode)) return urls;
  Result<std::vector<FoundEntry>> found = searchDirectory(dir->fd.get(), resolved, threshold, pattern);
  if (!found) return urls;
  for (const FoundEntry& entry : *found) {
    urls.push_back(URL::fileURLWithPath(joinPath(resolved, entry.name)));
  }
  return urls;
}

}  // namespace zeb::files
