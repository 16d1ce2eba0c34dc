#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

// An advisory lock on a lock file: the kernel drops it when the descriptor's
// last reference closes, so a crashed or killed owner releases it too. The
// descriptor is close-on-exec so child processes never inherit ownership.
bool NamedMutex::try_claim(const NativePath& lock_path) {
  if (fd_ >= 0) return true;
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  int rc;
  do rc = ::flock(fd, LOCK_EX | LOCK_NB); while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void NamedMutex::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

NamedMutex::~NamedMutex() { release(); }
