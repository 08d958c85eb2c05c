#include "tools/password_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantelo::tools {
namespace {

// More than any password; a longer file is no password file.
constexpr std::size_t kMaxFile = 64 * 1024;

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

relay::TSecret TPasswordFile::Read(std::string& reason) const {
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    reason = "the password file " + path_ + " cannot be opened: " + std::strerror(errno);
    return {};
  }
  struct stat status {};
  std::string bytes(kMaxFile + 1, '\0');
  std::size_t got = 0;
  if (::fstat(fd, &status) != 0) {
    reason = "the password file " + path_ + " cannot be read: " + std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    reason = "the password file " + path_ + " is not a plain file";
  } else if (status.st_uid != ::geteuid()) {
    reason = "the password file " + path_ + " belongs to another user: it must be yours";
  } else if (status.st_mode & 077) {
    reason = "the password file " + path_ + " may be read or written by others (mode " +
             Octal(status.st_mode) + "): chmod 600 " + path_;
  } else {
    for (;;) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) reason = "the password file " + path_ + " cannot be read: " + std::strerror(errno);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
      if (got == bytes.size()) {
        reason = "the password file " + path_ + " is too long for a password file";
        break;
      }
    }
  }
  ::close(fd);
  const relay::TSecret wiped(std::move(bytes));  // the whole file, wiped when it goes
  if (!reason.empty()) return {};
  const std::string& file = wiped.Value();
  std::size_t end = 0;
  while (end < got && file[end] != '\n' && file[end] != '\r') ++end;
  if (end == 0) {
    reason = "the password file " + path_ + " holds no password on its first line";
    return {};
  }
  // On the heap from the start, so that moving it leaves no copy behind.
  std::string password;
  password.reserve(std::max<std::size_t>(end, 64));
  password.assign(file, 0, end);
  return relay::TSecret(std::move(password));
}

std::string TPasswordFile::Check() const {
  std::string reason;
  Read(reason);
  return reason;
}

relay::TPasswordLookup TPasswordFile::Find(const relay::TLoginAccount&) {
  relay::TPasswordLookup found;
  found.password = Read(found.reason);
  found.result = found.password.Empty() ? relay::TPasswordLookup::TResult::Unavailable
                                        : relay::TPasswordLookup::TResult::Found;
  return found;
}

}  // namespace vantelo::tools
