// The signals the program answers. SIGTERM and SIGINT (a logout,
// `systemctl --user stop`, Ctrl+C) end it the way Exit does; SIGHUP does what
// Refresh does (`kill -HUP`, the way to apply an edited config.ini where there
// are no windows). Each writes one line to the log naming the signal, so that
// a stop never reads like a crash. The handler only writes the signal's number
// to a pipe; the GUI thread, woken by it, logs and runs `onStop` or
// `onRefresh`. While an instance lives, the three signals are handled;
// afterwards they are back to default.
//
// Create one instance on the GUI thread.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace vantelo::app {

class TStopSignals : public QObject {
  Q_OBJECT

 public:
  TStopSignals(std::function<void()> onStop, std::function<void()> onRefresh,
               QObject* parent = nullptr);
  ~TStopSignals() override;

 private:
  void Received(int signal);

  std::function<void()> onStop_;
  std::function<void()> onRefresh_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace vantelo::app
