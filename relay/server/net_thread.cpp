#include "relay/server/net_thread.h"

#include <algorithm>
#include <system_error>

#include "relay/server/tcp_server.h"
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

}  // namespace

TNetThread::TNetThread(bool createSuspended) : stopFlag_(createSuspended) {}

TNetThread::~TNetThread() {
  // Destroy the attached data first (for the relay: its upstream connection).
  AttachedData.reset();
  if (started_ && !joined_ && !freeOnTerminate_.load()) {
    if (pthread_equal(thread_, pthread_self())) {
      pthread_detach(thread_);  // its own body held the last reference
    } else {
      pthread_join(thread_, nullptr);
    }
  }
}

void TNetThread::Launch() {
  std::lock_guard<std::mutex> guard(startLock_);
  if (started_) return;
  stopFlag_.store(false, std::memory_order_release);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (kThreadStackSize) pthread_attr_setstacksize(&attr, kThreadStackSize);
  auto* self = new std::shared_ptr<TNetThread>(shared_from_this());
  int result = pthread_create(&thread_, &attr, &TNetThread::Start, self);
  pthread_attr_destroy(&attr);
  if (result != 0) {
    delete self;
    stopFlag_.store(true, std::memory_order_release);
    throw std::system_error(result, std::generic_category(), "pthread_create");
  }
  started_ = true;
}

void* TNetThread::Start(void* arg) {
  std::shared_ptr<TNetThread> self = std::move(*static_cast<std::shared_ptr<TNetThread>*>(arg));
  delete static_cast<std::shared_ptr<TNetThread>*>(arg);
  self->Body();
  if (self->freeOnTerminate_.load(std::memory_order_acquire)) pthread_detach(pthread_self());
  return nullptr;
}

void TNetThread::Body() {
  try {
    while (!Terminated()) {
      if (Stopped()) break;  // stop mode "terminate": a stopped thread never resumes
      try {
        Setup();
        while (!Stopped()) Step();
      } catch (...) {
        Teardown();
        throw;
      }
      Teardown();
    }
  } catch (const std::exception& e) {
    FailureText = e.what();
    if (OnFailure) OnFailure(this, e);
    terminated_.store(true, std::memory_order_release);
  } catch (...) {
    terminated_.store(true, std::memory_order_release);
  }
}

void TNetThread::RequestStop() {
  terminated_.store(true, std::memory_order_release);
  stopFlag_.store(true, std::memory_order_release);
}

void TNetThread::TerminateAndWait() {
  RequestStop();
  std::lock_guard<std::mutex> guard(startLock_);
  if (started_ && !joined_ && !freeOnTerminate_.load()) {
    pthread_join(thread_, nullptr);
    joined_ = true;
  }
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
  // Always called by the worker itself from its teardown, so it frees itself
  // when its body returns.
  thread.SetFreeOnTerminate();
  std::lock_guard<std::mutex> guard(lock_);
  auto it = std::find(LiveThreads.begin(), LiveThreads.end(), &thread);
  if (it != LiveThreads.end()) LiveThreads.erase(it);
}

}  // namespace vantelo::relay
