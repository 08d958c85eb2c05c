#include "app/logging.h"

#include "relay/log_sink.h"
#include "routing/settings_log.h"
#include "routing/store_log.h"

namespace vantelo::app {

Q_LOGGING_CATEGORY(lcRoute, "vantelo.route")
Q_LOGGING_CATEGORY(lcStore, "vantelo.store")
Q_LOGGING_CATEGORY(lcSettings, "vantelo.settings")
Q_LOGGING_CATEGORY(lcRelay, "vantelo.relay")
Q_LOGGING_CATEGORY(lcHelp, "vantelo.help")
Q_LOGGING_CATEGORY(lcApp, "vantelo.app")

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
  routing::SetStoreLogSink([](routing::TStoreLogLevel level, const std::string& line) {
    if (level == routing::TStoreLogLevel::Warning) {
      qCWarning(lcStore, "%s", line.c_str());
    } else {
      qCInfo(lcStore, "%s", line.c_str());
    }
  });
}

}  // namespace vantelo::app
