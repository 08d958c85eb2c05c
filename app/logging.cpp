#include "app/logging.h"

#include "relay/log_sink.h"
#include "routing/settings_log.h"

namespace vantelo::app {

void ConnectLogs() {
  qSetMessagePattern(QStringLiteral("%{category}: %{message}"));
  // Called on the relay's own threads; Qt's logging is thread-safe.
  relay::SetRelayLogSink([](relay::TRelayLogLevel level, const std::string& line) {
    if (level == relay::TRelayLogLevel::Warning) {
      qCWarning(lcRelay, "%s", line.c_str());
    } else {
      qCInfo(lcRelay, "%s", line.c_str());
    }
  });
  routing::SetSettingsLogSink(
      [](const std::string& line) { qCWarning(lcSettings, "%s", line.c_str()); });
}

}  // namespace vantelo::app
