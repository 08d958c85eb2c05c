// What vantelo-initdb puts into a working folder besides the route file: the
// shipped help and tips, and the launcher. Every file is created only where
// nothing stands yet (not even a dangling link), so a user's file is never
// replaced or written through.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vantelo::app {

// The folder of the running program, links resolved.
std::filesystem::path ProgramFolder();

// Where the shipped help and tips are: the source's data/ folder when the
// program runs from the build folder it was built in, otherwise the data
// folder beside the installed program (<prefix>/share/vantelo for
// <prefix>/bin). The two places are compiled in by CMake.
std::filesystem::path ShippedDataFolder();

// Creates `path` with `text` and `mode` unless something stands there.
// Returns true when it created it, false when something was there; raises
// std::runtime_error with the reason when it cannot, removing what it began.
bool CreateNewFile(const std::filesystem::path& path, const std::string& text, unsigned mode);

// Copies the file `from` to `to` unless something stands at `to`. Returns
// true when it created `to`; raises std::runtime_error when `from` is not a
// readable file or `to` cannot be made.
bool CopyMissingFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Copies every file under `from` into `to`, keeping the sub-folders, where
// nothing stands yet. Returns how many files it created. Raises
// std::runtime_error at the first file or folder it cannot make.
int CopyMissingFiles(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace vantelo::app
