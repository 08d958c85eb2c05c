#include "tools/initdb_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vantelo::app {
namespace {

std::runtime_error Failure(const std::string& what, const fs::path& path, int error) {
  return std::runtime_error("cannot " + what + " " + path.string() + ": " + std::strerror(error));
}

std::string ReadWhole(const fs::path& path) {
  if (!fs::is_regular_file(path)) throw Failure("find the shipped file", path, ENOENT);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in) throw Failure("read", path, EIO);
  return text.str();
}

}  // namespace

fs::path ProgramFolder() {
  std::error_code error;
  fs::path exe = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : exe.parent_path();
}

fs::path ShippedDataFolder() {
  const fs::path here = ProgramFolder();
  std::error_code error;
  if (!here.empty() && fs::equivalent(here, VANTELO_BUILD_FOLDER, error)) {
    return VANTELO_SOURCE_DATA_FOLDER;
  }
  return (here / VANTELO_DATA_FROM_BIN).lexically_normal();
}

bool CreateNewFile(const fs::path& path, const std::string& text, unsigned mode) {
  // O_EXCL refuses anything that stands there, a link included.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    throw Failure("create", path, errno);
  }
  const char* data = text.data();
  std::size_t left = text.size();
  int error = 0;
  while (left > 0 && error == 0) {
    ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      error = errno;
    else
      data += n, left -= static_cast<std::size_t>(n);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    unlink(path.c_str());  // half a file would pass for the user's own next time
    throw Failure("write", path, error);
  }
  return true;
}

bool CopyMissingFile(const fs::path& from, const fs::path& to) {
  return CreateNewFile(to, ReadWhole(from), 0644);
}

int CopyMissingFiles(const fs::path& from, const fs::path& to) {
  if (!fs::is_directory(from)) throw Failure("read", from, ENOENT);
  int created = 0;
  auto makeFolder = [](const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder)) {
      throw Failure("create the folder", folder, error ? error.value() : ENOTDIR);
    }
  };
  makeFolder(to);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(from)) {
    const fs::path target = to / fs::relative(entry.path(), from);
    if (entry.is_directory()) {
      makeFolder(target);
    } else if (entry.is_regular_file()) {
      if (CopyMissingFile(entry.path(), target)) ++created;
    }
  }
  return created;
}

}  // namespace vantelo::app
