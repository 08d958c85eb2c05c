#include "app/logging.h"

#include <atomic>

#include "relay/log_sink.h"
#include "routing/settings_log.h"
#include "routing/store_log.h"

namespace vantelo::app {

namespace {

// Where the program's handler passes each message on: Qt's own handler
// unless a test has put another in its place.
std::atomic<QtMessageHandler> output{nullptr};

bool HasControl(const QString& text) {
  for (QChar c : text) {
    const char16_t u = c.unicode();
    if (u < 0x20 || (u >= 0x7f && u <= 0x9f)) return true;
  }
  return false;
}

// A value in a message (a connection's name, a host name) may hold a line
// feed or an escape sequence: it must neither forge a line nor reach a
// terminal raw.
void EscapingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  const QtMessageHandler next = output.load();
  if (!next) return;
  if (context.category && qstrncmp(context.category, "vantelo.", 8) == 0 && HasControl(message)) {
    next(type, context, QString::fromStdString(relay::EscapeControls(message.toStdString())));
  } else {
    next(type, context, message);
  }
}

}  // namespace

void ConnectLogs() {
  qSetMessagePattern(QStringLiteral("%{category}: %{message}"));
  const QtMessageHandler replaced = qInstallMessageHandler(&EscapingHandler);
  if (replaced != &EscapingHandler) output.store(replaced);
  // Called on the relay's own threads; Qt's logging is thread-safe.
  relay::SetRelayLogSink([](relay::TRelayLogLevel level, const std::string& line) {
    switch (level) {
      case relay::TRelayLogLevel::Warning:
        qCWarning(lcRelay, "%s", line.c_str());
        break;
      case relay::TRelayLogLevel::Info:
        qCInfo(lcRelay, "%s", line.c_str());
        break;
      case relay::TRelayLogLevel::Debug:
        qCDebug(lcRelay, "%s", line.c_str());
        break;
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

QtMessageHandler SetLogOutput(QtMessageHandler handler) { return output.exchange(handler); }

}  // namespace vantelo::app
