#include "app/instance_lock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "logging/log_categories.h"

namespace vantelo::app {

std::string TInstanceLock::LockPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return std::string(runtime && *runtime ? runtime : "/tmp") + "/qovin.lock";
}

TInstanceLock::TInstanceLock() {
  // Neither failure stops the start; each leaves its line.
  const std::string path = LockPath();
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    qCWarning(lcApp, "cannot open the lock %s: %s; Vantelo runs without it", path.c_str(),
              std::strerror(errno));
    return;
  }
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
  if (errno == EWOULDBLOCK) {
    qCInfo(lcApp, "another Vantelo holds the lock %s; this one runs as well", path.c_str());
  } else {
    qCWarning(lcApp, "cannot lock %s: %s; Vantelo runs without the lock", path.c_str(),
              std::strerror(errno));
  }
}

TInstanceLock::~TInstanceLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace vantelo::app
