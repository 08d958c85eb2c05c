// Reading and replacing the program's small text files: the settings file and
// the autostart entry, and making the folders the autostart entry goes in. A
// read never blocks and never grows without bound, and a replacement never
// leaves half a file behind.
//
// Plain functions on paths; GUI thread only, like every settings access.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace vantelo::routing {

// Larger files are not read at all.
inline constexpr std::size_t kMaxTextFileSize = 16u << 20;

struct TTextFile {
  enum TState { Read, Missing, Unreadable };
  TState state = Missing;
  std::string text;     // when Read
  std::string problem;  // when Unreadable: why, for the log
};

// Reads a regular file of at most kMaxTextFileSize bytes. A missing file (or
// a link to nothing) is Missing; a FIFO, a device, a folder, a larger file or
// one that cannot be opened is Unreadable at once. A file without any read
// permission bit is Unreadable even for root, as one without write bits is
// read-only even for root.
TTextFile ReadTextFile(const std::string& path);

// Replaces the whole contents of `path` with `text`. A symbolic link is
// followed, so its target gets the new contents and the link stays. A new
// file gets `newFileMode`; an existing one keeps its mode. The contents go to
// a temporary file beside the target, which is then renamed over it; when the
// folder cannot take that file but the target exists and is writable, the
// target is rewritten in place. A target that is not a regular file or has
// no write permission bit is refused, as is a missing folder.
// Returns the empty text on success, else why it failed.
std::string ReplaceTextFile(const std::string& path, const std::string& text, mode_t newFileMode);

// Makes `path` a folder, with each missing folder on the way to it, all with
// `mode` (under the umask); folders that exist keep their mode. Returns the
// empty text on success, else the folder that could not be made and why.
std::string CreateFolders(const std::string& path, mode_t mode);

}  // namespace vantelo::routing
