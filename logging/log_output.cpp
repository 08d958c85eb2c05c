#include "logging/log_output.h"

#include <atomic>

#include "relay/log/log_sink.h"
#include "routing/routing_log.h"

namespace vantelo::logging {

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
  routing::SetRoutingLogSink([](routing::TRoutingLogSource source, routing::TRoutingLogLevel level,
                                const std::string& line) {
    const QLoggingCategory& category =
        source == routing::TRoutingLogSource::Store ? lcStore() : lcSettings();
    if (level == routing::TRoutingLogLevel::Warning) {
      qCWarning(category, "%s", line.c_str());
    } else {
      qCInfo(category, "%s", line.c_str());
    }
  });
}

QtMessageHandler SetLogOutput(QtMessageHandler handler) { return output.exchange(handler); }

}  // namespace vantelo::logging
