// SIGTERM, SIGINT and SIGHUP (a logout, `systemctl --user stop`, Ctrl+C)
// end the program the way Exit does: the handler only writes a byte to a
// pipe, and the GUI thread, woken by it, runs `onStop`. While an instance
// lives, the three signals are handled; afterwards they are back to default.
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
  explicit TStopSignals(std::function<void()> onStop, QObject* parent = nullptr);
  ~TStopSignals() override;

 private:
  std::function<void()> onStop_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace vantelo::app
