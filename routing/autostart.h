// Starting Vantelo at logon, through the desktop's autostart folder: the file
// qovin.desktop in $XDG_CONFIG_HOME/autostart (~/.config when the variable is
// unset or empty). Its Exec= names the launcher config/link of the working
// folder; its Path= is the working folder.
//
// The counterpart of a registry key that always exists is the folder
// $XDG_CONFIG_HOME: when it is missing, autostart is unavailable and every
// call does nothing, without a message. GUI thread only.
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
  // The autostart folder's parent, or nothing when it does not exist.
  static std::optional<std::string> ConfigHome();
  static std::string EntryPath(const std::string& configHome);

  // On when the entry exists with a non-empty Exec and is not Hidden=true.
  // Nothing when autostart is unavailable. An empty file, like a missing one,
  // is off; so is one that cannot be read (logged). A non-empty file that is
  // not an application desktop entry raises "Invalid data type for 'qovin'".
  static std::optional<bool> Read();
  // Writes the entry for `workingFolder` (creating autostart/ when missing);
  // raises "Failed to set data for 'qovin'" when it cannot.
  static void Write(const std::string& workingFolder);
  // Deletes the entry; an absent one is no error, any other failure is
  // logged and otherwise ignored.
  static void Remove();

  // The Exec= value for `workingFolder`: WORKINGFOLDER/config/link, quoted
  // and escaped by the desktop-entry rules when needed.
  static std::string ExecValue(const std::string& workingFolder);
};

}  // namespace vantelo::routing
