#include "platform/foundation/UniqueFd.h"

#include <unistd.h>

namespace zeb {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);  // Linux closes the descriptor even when close reports EINTR.
  fd_ = fd;
}

}  // namespace zeb
