// Starting Vantelo at logon, through the desktop's autostart folder: the file
// qovin.desktop in $XDG_CONFIG_HOME/autostart (~/.config when the variable is
// unset or empty). Its Exec= names the launcher config/link of the working
// folder; its Path= is the working folder.
//
// A fresh account may have no $XDG_CONFIG_HOME yet: reading and removing then
// find nothing, and writing makes the missing folders (0700, as the XDG base
// directory rules ask). Without HOME or XDG_CONFIG_HOME autostart is
// unavailable. GUI thread only.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace vantelo::routing {

class EAutostartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kAutostartName = "qovin";

class TAutostart {
 public:
  // The autostart folder's parent ($XDG_CONFIG_HOME when it is an absolute
  // path, else $HOME/.config), whether or not it exists yet; nothing when
  // neither variable gives one.
  static std::optional<std::string> ConfigHome();
  static std::string EntryPath(const std::string& configHome);

  // On when the entry exists with a non-empty Exec and is not Hidden=true.
  // Nothing when autostart is unavailable or its folder does not exist. An empty file, like a
  // missing one, is off; so is one that cannot be read (logged). A non-empty file that is not an
  // application desktop entry raises "Invalid data type for 'qovin'".
  static std::optional<bool> Read();
  // Writes the entry for `workingFolder`, making the missing folders on the
  // way; raises "Failed to set data for 'qovin'" when it cannot, and logs why.
  static void Write(const std::string& workingFolder);
  // Deletes the entry; an absent one is no error, any other failure is
  // logged and otherwise ignored.
  static void Remove();

  // The Exec= value for `workingFolder`: WORKINGFOLDER/config/link, quoted
  // and escaped by the desktop-entry rules when needed.
  static std::string ExecValue(const std::string& workingFolder);
};

}  // namespace vantelo::routing
