// The run loop shared by the listener thread and the worker threads, and the
// thread manager that makes one worker thread per accepted connection.
//
// A thread object is always held by std::shared_ptr. While its body runs, the
// body holds a reference of its own, so a worker whose server has already been
// destroyed keeps everything it uses alive until it ends.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

namespace vantelo::relay {

// Per-thread data owned by a thread (the relay's per-connection data).
class TAttachedData {
 public:
  virtual ~TAttachedData() = default;
};

class TNetThread : public std::enable_shared_from_this<TNetThread> {
 public:
  explicit TNetThread(bool createSuspended = true);
  virtual ~TNetThread();
  TNetThread(const TNetThread&) = delete;
  TNetThread& operator=(const TNetThread&) = delete;

  std::unique_ptr<TAttachedData> AttachedData;
  std::string FailureText;  // the message of the exception that ended it
  std::function<void(TNetThread*, const std::exception&)> OnFailure;

  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  bool Stopped() const { return Terminated() || stopFlag_.load(std::memory_order_acquire); }

  // Starts the body (once). Failure to start a thread raises std::system_error.
  void Launch();
  // Sets the terminate flag and the stop flag; the body ends after its step.
  void RequestStop();
  // Any thread but its own: RequestStop, then wait for the body to return.
  void TerminateAndWait();
  // Set by the thread manager when the thread returns itself: the body then
  // lets go of its own reference and the thread is not waited for.
  void SetFreeOnTerminate() { freeOnTerminate_.store(true, std::memory_order_release); }

 protected:
  virtual void Setup() {}
  virtual void Step() = 0;
  virtual void Teardown() {}

 private:
  static void* Start(void* self);
  void Body();

  std::atomic<bool> terminated_{false};
  std::atomic<bool> stopFlag_;
  std::atomic<bool> freeOnTerminate_{false};
  std::mutex startLock_;
  bool started_ = false;
  bool joined_ = false;
  pthread_t thread_{};
};

class TPeerThread;

// Hands out worker threads. One manager may serve several servers, in turn or
// at once; its lock guards only its list of live threads.
class TThreadMgr {
 public:
  using TThreadClass = std::function<std::shared_ptr<TPeerThread>()>;
  virtual ~TThreadMgr() = default;

  // The kind of thread to make; servers set it at activation.
  void SetWorkerClass(TThreadClass workerClass);

  // A new, not yet launched thread of WorkerClass (EThreadClassNotSpecified).
  std::shared_ptr<TPeerThread> MakeThread();
  virtual std::shared_ptr<TPeerThread> AcquireThread() = 0;
  // Called by each worker with itself at its end.
  virtual void ReturnThread(TPeerThread& thread) = 0;
  std::size_t LiveThreadCount();

 protected:
  std::mutex lock_;  // guards LiveThreads and workerClass_
  std::vector<TPeerThread*> LiveThreads;

 private:
  TThreadClass workerClass_;
};

// One new thread per connection, no reuse.
class TThreadMgrDefault : public TThreadMgr {
 public:
  std::shared_ptr<TPeerThread> AcquireThread() override;
  void ReturnThread(TPeerThread& thread) override;
};

}  // namespace vantelo::relay
