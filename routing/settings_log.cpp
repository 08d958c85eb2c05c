#include "routing/settings_log.h"

namespace vantelo::routing {
namespace {

TSettingsLogSink& Sink() {
  static TSettingsLogSink sink;
  return sink;
}

}  // namespace

void SetSettingsLogSink(TSettingsLogSink sink) { Sink() = std::move(sink); }

void SettingsLog(const std::string& line) {
  if (Sink()) Sink()(line);
}

}  // namespace vantelo::routing
