#include "routing/text_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantelo::routing {
namespace {

constexpr mode_t kAnyRead = S_IRUSR | S_IRGRP | S_IROTH;
constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr int kMaxLinkHops = 40;

std::string ErrnoText(int number) { return std::strerror(number); }

// Closes a descriptor when it goes out of scope.
class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Where the contents of `path` really live: its symbolic links followed, a
// relative link read against the folder of the link. The target may not
// exist yet (a link to a file still to be written).
std::string FollowLinks(std::string path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char buffer[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) return path;
    std::string target(buffer, static_cast<std::size_t>(n));
    path = target[0] == '/' ? target : FolderOf(path) + "/" + target;
  }
  return path;
}

bool WriteAll(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Beside the target, then renamed over it. Returns errno, 0 on success.
int ReplaceByRename(const std::string& target, const std::string& text, mode_t mode) {
  std::string temp = target + ".XXXXXX";
  TFd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) return errno;
  bool ok = fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), text) && fsync(fd.get()) == 0;
  int error = ok ? 0 : errno;
  if (!fd.Close() && ok) error = errno;
  if (error == 0 && std::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) unlink(temp.c_str());
  return error;
}

// The target rewritten where it is: for a folder that takes no new files.
int ReplaceInPlace(const std::string& target, const std::string& text) {
  TFd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return errno;
  bool ok = WriteAll(fd.get(), text) && ftruncate(fd.get(), static_cast<off_t>(text.size())) == 0 &&
            fsync(fd.get()) == 0;
  int error = ok ? 0 : errno;
  if (!fd.Close() && ok) error = errno;
  return error;
}

bool FolderTakesNewFiles(const std::string& folder) {
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & kAnyWrite) != 0 &&
         access(folder.c_str(), W_OK) == 0;
}

}  // namespace

TTextFile ReadTextFile(const std::string& path) {
  TTextFile file;
  // Non-blocking, so that opening a FIFO returns at once.
  TFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return file;  // Missing
    file.state = TTextFile::Unreadable;
    file.problem = ErrnoText(errno);
    return file;
  }
  struct stat st;
  file.state = TTextFile::Unreadable;
  if (fstat(fd.get(), &st) != 0) {
    file.problem = ErrnoText(errno);
  } else if (!S_ISREG(st.st_mode)) {
    file.problem = "not a regular file";
  } else if (static_cast<unsigned long long>(st.st_size) > kMaxTextFileSize) {
    file.problem = "larger than 16 MiB";
  } else if ((st.st_mode & kAnyRead) == 0) {
    file.problem = ErrnoText(EACCES);
  }
  if (!file.problem.empty()) return file;

  // The size may change while reading: never take more than the bound.
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      file.problem = ErrnoText(errno);
      return file;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxTextFileSize) {
      file.problem = "larger than 16 MiB";
      return file;
    }
  }
  file.state = TTextFile::Read;
  file.text = std::move(text);
  return file;
}

std::string ReplaceTextFile(const std::string& path, const std::string& text, mode_t newFileMode) {
  const std::string target = FollowLinks(path);
  mode_t mode = newFileMode;
  bool exists = false;
  struct stat st;
  if (stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if ((st.st_mode & kAnyWrite) == 0 || access(target.c_str(), W_OK) != 0) {
      return ErrnoText(EACCES);
    }
    mode = st.st_mode & 07777;
    exists = true;
  } else if (errno != ENOENT) {
    return ErrnoText(errno);
  }

  const std::string folder = FolderOf(target);
  int error = ENOENT;
  if (FolderTakesNewFiles(folder)) {
    error = ReplaceByRename(target, text, mode);
    if (error == 0) return {};
  } else if (stat(folder.c_str(), &st) == 0) {
    error = EACCES;
  }
  if (exists && (error == EACCES || error == EPERM || error == EROFS)) {
    error = ReplaceInPlace(target, text);
  }
  return error == 0 ? std::string() : ErrnoText(error);
}

std::string CreateFolders(const std::string& path, mode_t mode) {
  // From the top down, so that each folder's parent exists when it is made.
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string folder = path.substr(0, end);
    struct stat st;
    if (!folder.empty() && folder.back() != '/' && stat(folder.c_str(), &st) != 0) {
      if (errno != ENOENT || (mkdir(folder.c_str(), mode) != 0 && errno != EEXIST)) {
        return folder + ": " + ErrnoText(errno);
      }
    } else if (!folder.empty() && folder.back() != '/' && !S_ISDIR(st.st_mode)) {
      return folder + ": " + ErrnoText(ENOTDIR);
    }
    if (end == std::string::npos) return {};
  }
}

}  // namespace vantelo::routing
