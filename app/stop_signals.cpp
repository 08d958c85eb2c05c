#include "app/stop_signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "logging/log_categories.h"

namespace vantelo::app {
namespace {

int wakePipe[2] = {-1, -1};
const int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnSignal(int signal) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal);
  (void)!write(wakePipe[1], &byte, 1);  // async-signal-safe; a full pipe already wakes
  errno = saved;
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    default:
      return "SIGHUP";
  }
}

}  // namespace

TStopSignals::TStopSignals(std::function<void()> onStop, std::function<void()> onRefresh,
                           QObject* parent)
    : QObject(parent), onStop_(std::move(onStop)), onRefresh_(std::move(onRefresh)) {
  if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    qCWarning(lcApp) << "cannot watch for stop signals:" << strerror(errno);
    return;
  }
  notifier_ = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    unsigned char received[16];
    ssize_t n;
    while ((n = read(wakePipe[0], received, sizeof received)) > 0) {
      for (ssize_t i = 0; i < n; ++i) Received(received[i]);
    }
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kHandledSignals) sigaction(signal, &action, nullptr);
}

TStopSignals::~TStopSignals() {
  if (!notifier_) return;
  for (int signal : kHandledSignals) std::signal(signal, SIG_DFL);
  delete notifier_;
  close(wakePipe[0]);
  close(wakePipe[1]);
  wakePipe[0] = wakePipe[1] = -1;
}

void TStopSignals::Received(int signal) {
  if (signal == SIGHUP) {
    qCInfo(lcApp, "SIGHUP: reading the settings and routes again, as Refresh does");
    if (onRefresh_) onRefresh_();
    return;
  }
  qCInfo(lcApp, "%s: ending, as Exit does", SignalName(signal));
  if (onStop_) onStop_();
}

}  // namespace vantelo::app
