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
const int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!write(wakePipe[1], &byte, 1);  // async-signal-safe; a full pipe already wakes
  errno = saved;
}

}  // namespace

TStopSignals::TStopSignals(std::function<void()> onStop, QObject* parent)
    : QObject(parent), onStop_(std::move(onStop)) {
  if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    qCWarning(lcApp) << "cannot watch for stop signals:" << strerror(errno);
    return;
  }
  notifier_ = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    char bytes[16];
    while (read(wakePipe[0], bytes, sizeof bytes) > 0) {
    }
    if (onStop_) onStop_();
  });
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kStopSignals) sigaction(signal, &action, nullptr);
}

TStopSignals::~TStopSignals() {
  if (!notifier_) return;
  for (int signal : kStopSignals) std::signal(signal, SIG_DFL);
  delete notifier_;
  close(wakePipe[0]);
  close(wakePipe[1]);
  wakePipe[0] = wakePipe[1] = -1;
}

}  // namespace vantelo::app
