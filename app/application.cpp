#include "app/application.h"

#include <cstdio>
#include <cstdlib>

#include "ui/error_box.h"
#include "ui/help_router.h"

namespace vantelo::app {
namespace {

void SayNoDesktopAndExit() {
  std::fputs(
      "vantelo: needs a desktop session (no display could be opened); "
      "vantelo-relay relays mail without one\n",
      stderr);
  std::_Exit(1);
}

QtMessageHandler previousHandler = nullptr;
bool watchingForNoDisplay = false;

// Qt reports a platform it cannot start as a fatal message, then aborts.
void WatchForNoDisplay(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) SayNoDesktopAndExit();
  if (previousHandler) {
    previousHandler(type, context, text);
  } else {
    std::fprintf(stderr, "%s\n", qUtf8Printable(qFormatLogMessage(type, context, text)));
  }
}

}  // namespace

void RequireDesktopSession() {
  const bool platformNamed = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
  if (!platformNamed && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    SayNoDesktopAndExit();
  }
  previousHandler = qInstallMessageHandler(WatchForNoDisplay);
  watchingForNoDisplay = true;
}

bool RunsWithoutDisplay() {
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Vantelo"));
  setDesktopFileName(QStringLiteral("vantelo"));
  ui::TApplicationHelp::HelpFile = QStringLiteral("qovin help\\qovin.chm");
  // The main window starts hidden and message boxes come and go; only closing
  // the main window ends the program.
  setQuitOnLastWindowClosed(false);
  if (watchingForNoDisplay) {
    qInstallMessageHandler(previousHandler);
    watchingForNoDisplay = false;
  }
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  ui::WithErrorBox([&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

}  // namespace vantelo::app
