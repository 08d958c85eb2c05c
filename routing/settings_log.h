// Where the settings file and the autostart entry report the failures they
// swallow: a settings file that cannot be read and so gives the defaults, an
// autostart entry that could not be removed. The program connects this to its
// "vantelo.settings" log at start; with nothing connected, lines go nowhere.
//
// GUI thread only, like every settings access: no lock is taken.
#pragma once

#include <functional>
#include <string>

namespace vantelo::routing {

using TSettingsLogSink = std::function<void(const std::string& line)>;

// Replaces the sink; an empty function disconnects it.
void SetSettingsLogSink(TSettingsLogSink sink);

// One line, without a trailing line break.
void SettingsLog(const std::string& line);

}  // namespace vantelo::routing
