// The program's mark that it runs: an advisory lock on qovin.lock in
// $XDG_RUNTIME_DIR (or /tmp), held while it lives. It never stops a second
// copy: whether the lock was had changes
// nothing but the log, which says when it was not and why (vantelo.app).
#pragma once

#include <string>

namespace vantelo::app {

class TInstanceLock {
 public:
  TInstanceLock();
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;
  static std::string LockPath();

 private:
  int fd_ = -1;
};

}  // namespace vantelo::app
