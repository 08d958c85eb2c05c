#include "relay/server/net_thread.h"

#include <algorithm>
#include <pthread.h>
#include <system_error>

#include "relay/log/log_sink.h"
#include "relay/server/tcp_server.h"
#include "relay/socket/failure_text.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// Relay threads keep their buffers on the heap, so a small stack is enough and
// makes starting one per connection cheap. Sanitizers need the default size.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kThreadStackSize = 0;
#else
constexpr std::size_t kThreadStackSize = 256 * 1024;
#endif

thread_local const TNetThread* tCurrentThread = nullptr;

}  // namespace

TNetThread::TNetThread(bool createSuspended) : stopFlag_(createSuspended) {}

TNetThread::~TNetThread() {
  // The attached data (for the relay: its upstream connection) goes first.
  AttachedData.reset();
}

void TNetThread::Launch() {
  std::lock_guard<std::mutex> guard(stateLock_);
  if (launched_) return;
  stopFlag_.store(false, std::memory_order_release);
  // The body's own reference, handed over to the new thread.
  auto body = std::make_unique<std::shared_ptr<TNetThread>>(shared_from_this());
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (kThreadStackSize) pthread_attr_setstacksize(&attr, kThreadStackSize);
  pthread_t thread;
  int result = pthread_create(&thread, &attr, &TNetThread::Run, body.get());
  pthread_attr_destroy(&attr);
  if (result != 0) {
    stopFlag_.store(true, std::memory_order_release);
    throw std::system_error(result, std::generic_category(), "pthread_create");
  }
  body.release();  // the new thread owns it now
  launched_ = true;
}

void* TNetThread::Run(void* body) {
  std::shared_ptr<TNetThread> self;
  {
    std::unique_ptr<std::shared_ptr<TNetThread>> handedOver(
        static_cast<std::shared_ptr<TNetThread>*>(body));
    self = std::move(*handedOver);
  }
  tCurrentThread = self.get();
  self->Body();
  {
    std::lock_guard<std::mutex> guard(self->stateLock_);
    self->ended_ = true;
    self->endedSignal_.notify_all();
  }
  tCurrentThread = nullptr;
  return nullptr;  // `self` goes here: the last reference destroys the object
}

bool TNetThread::IsCurrentThread() const { return tCurrentThread == this; }

void TNetThread::Body() {
  bool inSetup = false;
  bool logged = false;
  // One line per failure, as it happens (before the teardown's closes).
  auto log = [&](const std::exception* e) {
    if (logged) return;
    logged = true;
    TFailureLine line =
        e ? DescribeFailure(*e, inSetup)
          : TFailureLine{TRelayLogLevel::Warning, "a relay thread ended on an unknown exception"};
    if (!line.text.empty()) RelayLog(line.level, line.text);
  };
  try {
    while (!Terminated()) {
      if (Stopped()) break;  // stop mode "terminate": a stopped thread never resumes
      try {
        inSetup = true;
        Setup();
        inSetup = false;
        while (!Stopped()) Step();
      } catch (const std::exception& e) {
        log(&e);
        Teardown();
        throw;
      } catch (...) {
        log(nullptr);
        Teardown();
        throw;
      }
      Teardown();
    }
  } catch (const std::exception& e) {
    log(&e);  // a teardown that failed after a normal end
    FailureText = e.what();
    terminated_.store(true, std::memory_order_release);
  } catch (...) {
    log(nullptr);
    terminated_.store(true, std::memory_order_release);
  }
}

TNetThread::TFailureLine TNetThread::DescribeFailure(const std::exception& e, bool) const {
  return {TRelayLogLevel::Warning, "a relay thread ended: " + ReasonOf(e)};
}

void TNetThread::RequestStop() {
  terminated_.store(true, std::memory_order_release);
  stopFlag_.store(true, std::memory_order_release);
}

void TNetThread::TerminateAndWait() {
  RequestStop();
  std::unique_lock<std::mutex> lock(stateLock_);
  endedSignal_.wait(lock, [this] { return !launched_ || ended_; });
}

void TThreadMgr::SetWorkerClass(TThreadClass workerClass) {
  std::lock_guard<std::mutex> guard(lock_);
  workerClass_ = std::move(workerClass);
}

std::shared_ptr<TPeerThread> TThreadMgr::MakeThread() {
  TThreadClass make;
  {
    std::lock_guard<std::mutex> guard(lock_);
    make = workerClass_;
  }
  if (!make) throw EThreadClassNotSpecified();
  return make();
}

std::size_t TThreadMgr::LiveThreadCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return LiveThreads.size();
}

std::shared_ptr<TPeerThread> TThreadMgrDefault::AcquireThread() {
  std::shared_ptr<TPeerThread> thread = MakeThread();
  std::lock_guard<std::mutex> guard(lock_);
  LiveThreads.push_back(thread.get());
  return thread;
}

void TThreadMgrDefault::ReturnThread(TPeerThread& thread) {
  // From its own teardown a worker frees itself when its body returns (see
  // the header); from anywhere else it is stopped and waited for here.
  if (!thread.IsCurrentThread()) thread.TerminateAndWait();
  std::lock_guard<std::mutex> guard(lock_);
  auto it = std::find(LiveThreads.begin(), LiveThreads.end(), &thread);
  if (it != LiveThreads.end()) LiveThreads.erase(it);
}

}  // namespace vantelo::relay
