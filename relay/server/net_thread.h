// The run loop shared by the listener thread and the worker threads, and the
// thread manager that makes one worker thread per accepted connection.
//
// Who owns a thread, in one place:
//  - A thread object is always held by std::shared_ptr. Its owner holds one
//    reference: a server holds its listener thread while it is active, and
//    each worker thread in its worker list from launch until the worker's own
//    teardown takes it off. The running body holds one more, taken in Launch
//    and let go when the body has returned.
//  - The platform thread is detached as it starts: nothing ever joins it.
//    TerminateAndWait waits for the body to report that it has returned.
//  - So a thread object is destroyed by whoever lets go last: a worker by its
//    own body, right after its teardown (it "frees itself on terminate"); the
//    listener by its server, after waiting for it.
//  - What a worker uses (its server, thread manager and connections) it holds
//    itself (see TPeerThread), so a worker that outlives the server's bounded
//    stop still finds all of it alive.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "relay/log/log_sink.h"

namespace vantelo::relay {

// Per-thread data owned by a thread (the relay's per-connection data).
class TAttachedData {
 public:
  virtual ~TAttachedData() = default;
};

class TNetThread : public std::enable_shared_from_this<TNetThread> {
 public:
  explicit TNetThread(bool createSuspended = true);
  virtual ~TNetThread();  // destroys AttachedData first
  TNetThread(const TNetThread&) = delete;
  TNetThread& operator=(const TNetThread&) = delete;

  std::unique_ptr<TAttachedData> AttachedData;
  std::string FailureText;  // the message of the exception that ended it

  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  bool Stopped() const { return Terminated() || stopFlag_.load(std::memory_order_acquire); }

  // Starts the body, once. Failure to start a thread raises std::system_error
  // and leaves the thread stopped.
  void Launch();
  // Sets the terminate flag and the stop flag; the body ends after its step.
  void RequestStop();
  // Any thread but its own: RequestStop, then wait until the body has
  // returned (at once for a thread never launched).
  void TerminateAndWait();
  // True on the thread that runs this object's body.
  bool IsCurrentThread() const;

 protected:
  virtual void Setup() {}
  virtual void Step() = 0;
  virtual void Teardown() {}
  // The relay log's line for an exception that ended this thread (in Setup
  // when duringSetup), and its level; an empty text logs nothing.
  struct TFailureLine {
    TRelayLogLevel level = TRelayLogLevel::Warning;
    std::string text;
  };
  virtual TFailureLine DescribeFailure(const std::exception& e, bool duringSetup) const;

 private:
  static void* Run(void* body);
  void Body();

  std::atomic<bool> terminated_{false};
  std::atomic<bool> stopFlag_;
  std::mutex stateLock_;  // guards launched_ and ended_
  std::condition_variable endedSignal_;
  bool launched_ = false;
  bool ended_ = false;
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
  // Called by each worker with itself at its end; from any other thread it
  // also stops the thread and waits for it.
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
