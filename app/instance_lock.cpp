#include "app/instance_lock.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vantelo::app {

std::string TInstanceLock::LockPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return std::string(runtime && *runtime ? runtime : "/tmp") + "/qovin.lock";
}

TInstanceLock::TInstanceLock() {
  fd_ = open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ >= 0) (void)flock(fd_, LOCK_EX | LOCK_NB);
}

TInstanceLock::~TInstanceLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace vantelo::app
