// The multi-threaded TCP server under the relay: listening sockets, one
// listener thread that accepts on all of them, one worker thread per accepted
// connection, and the bounded, orderly stop.
//
// Threads: the owner's thread (the GUI thread in the program) creates,
// activates and destroys a server; the listener thread accepts and starts
// workers; each worker serves one connection through the hooks below, which
// subclasses override and which run on that worker. A server is always held by
// std::shared_ptr, and its owner holds it through TOwnedServer, whose
// destruction runs the stop sequence. Workers that outlive the stop's bounded
// waits keep the server object alive until they end.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "relay/server/net_thread.h"
#include "relay/socket/tcp_connection.h"

namespace vantelo::relay {

class TTCPServer;

// A worker thread: serves one accepted connection through its server's hooks.
// It holds everything it uses: its server and thread manager by shared_ptr,
// its inbound connection (and, in AttachedData, whatever its server attaches)
// by unique_ptr.
class TPeerThread : public TNetThread {
 public:
  std::shared_ptr<TTCPServer> Server;
  std::shared_ptr<TThreadMgr> Manager;  // the manager that made it
  std::unique_ptr<TTCPServerConnection> InboundConnection;

  // The client's address and port, kept for the log after the inbound
  // connection has been closed.
  const std::string& PeerIP() const { return peerIP_; }
  int PeerPort() const { return peerPort_; }
  // The client has reset its connection (or it was woken): it is gone.
  bool ClientHungUp() const;

 protected:
  void Setup() override;
  void Step() override;
  void Teardown() override;
  TFailureLine DescribeFailure(const std::exception& e, bool duringSetup) const override;

 private:
  int repeatedErrors_ = 0;
  bool skippedErrorLogged_ = false;
  std::string peerIP_;
  int peerPort_ = 0;
};

// Accepts on every binding of its server and starts a worker for each
// connection; after each wait it takes what is queued on a binding, up to
// kAcceptBatch connections, before it waits again. It refers to its server without owning it: the
// server waits for it before it lets go of it (Deactivate). It never changes a binding: when it
// fails on its own it only wakes the listening sockets, which stops them
// listening; the owner closes them.
class TListenerThread : public TNetThread {
 public:
  explicit TListenerThread(TTCPServer& server);
  ~TListenerThread() override;
  // Any thread: ends the current wait at once without touching the listening
  // sockets, so that a stopped listener leaves them listening.
  void Interrupt();

 protected:
  void Step() override;
  void Teardown() override;
  TFailureLine DescribeFailure(const std::exception& e, bool duringSetup) const override;

 private:
  static constexpr int kAcceptBatch = 16;
  // False when nothing was accepted: the queue was empty (`first`: though the
  // wait said it was not), or an accept failed and was dealt with.
  bool AcceptOne(TSocket listener, bool first);
  std::string Name() const;
  TTCPServer& server_;
  int listenPollTime_;
  TSocketList ReadyList;
  int interruption_ = -1;             // an eventfd watched beside the listening sockets
  bool waitingForResources_ = false;  // accepts fail for want of descriptors or memory
  bool waitFailing_ = false;          // the wait for connections fails
};

class TTCPServer : public TNetComponent, public std::enable_shared_from_this<TTCPServer> {
 public:
  using TServerThreadEvent = std::function<void(TPeerThread* thread)>;

  TTCPServer();
  ~TTCPServer() override;

  bool Active() const { return active_; }
  // Activates (bind, listen, start the listener) or deactivates. Setting the
  // current value does nothing. A failed activation raises and leaves the
  // server inactive.
  void SetActive(bool value);

  TSocketHandles Bindings;
  int DefaultPort() const { return Bindings.DefaultPort; }
  void SetDefaultPort(int port) { Bindings.DefaultPort = port; }
  int TerminateWaitTime = 5000;  // ms, longest wait at each stop wait
  int ListenPollTime = 1000;     // ms, each wait of the listener thread
  std::shared_ptr<TThreadMgr> ThreadMgr;

  TServerThreadEvent OnConnect;
  TServerThreadEvent OnExecute;
  TServerThreadEvent OnDisconnect;

  // Hooks run on the worker thread.
  virtual void HandleConnect(TPeerThread& thread);
  virtual void HandleDisconnect(TPeerThread& thread);
  virtual bool HandleExecute(TPeerThread& thread);
  // For the relay log, on the worker's thread: its connection ("connection
  // from 127.0.0.1:40000"), and the line for its end, which `reason` caused
  // (during the worker's setup when duringSetup).
  virtual std::string DescribeConnection(const TPeerThread& thread) const;
  virtual std::string DescribeWorkerEnd(const TPeerThread& thread, bool duringSetup,
                                        const std::exception& reason) const;

  // Stops the listener thread and hands over the listening sockets, still
  // bound and listening, so that another server can take them (ActivateOn):
  // a client connecting meanwhile waits in the backlog, nobody is refused.
  // The workers go on with their connections; the server then listens on
  // nothing and counts as inactive. Empty when inactive, or when the
  // listener had failed on its own (its sockets no longer listen: closed).
  TListeningSockets GiveUpListeners();
  // Activates on sockets that another server gave up, in place of its own
  // bindings: nothing is bound anew. Raises, inactive, when the listener
  // cannot start; the sockets then stay in Bindings.
  void ActivateOn(TListeningSockets sockets);

  // Wakes every worker's inbound connection; returns at once.
  void WakeAllWorkers();
  // Wakes every worker, then waits at most TerminateWaitTime for the last to
  // end, returning as soon as none is left (at once when there is none).
  void EndAllWorkers();
  std::size_t WorkerCount();

  // The stop sequence of destruction: deactivate, end workers once more, close
  // and free the bindings. Runs once; TOwnedServer calls it.
  void Destroy();

 private:
  friend class TListenerThread;
  friend class TPeerThread;
  void Activate();
  // The thread manager and the listener thread, on the bindings as they are.
  void StartListening();
  void Deactivate();
  void AddWorker(const std::shared_ptr<TPeerThread>& worker);
  void RemoveWorker(TPeerThread& worker);

  bool active_ = false;
  bool destroyed_ = false;
  bool ownsThreadMgr_ = false;
  std::shared_ptr<TListenerThread> ListenerThread;
  std::mutex workersLock_;
  std::condition_variable lastWorkerEnded_;
  std::vector<std::shared_ptr<TPeerThread>> WorkerThreads;
};

// The owner's reference to a server: destroying it (or reset()) runs the
// server's stop sequence on the owner's thread, within the stop's bounds.
template <class TServer>
class TOwnedServer {
 public:
  TOwnedServer() = default;
  explicit TOwnedServer(std::shared_ptr<TServer> server) : server_(std::move(server)) {}
  static TOwnedServer Make() { return TOwnedServer(std::make_shared<TServer>()); }
  TOwnedServer(TOwnedServer&&) noexcept = default;
  TOwnedServer& operator=(TOwnedServer&& other) noexcept {
    if (this != &other) {
      reset();
      server_ = std::move(other.server_);
    }
    return *this;
  }
  ~TOwnedServer() { reset(); }

  void reset() {
    if (server_) {
      server_->Destroy();
      server_.reset();
    }
  }
  TServer* get() const { return server_.get(); }
  TServer* operator->() const { return server_.get(); }
  TServer& operator*() const { return *server_; }
  explicit operator bool() const { return server_ != nullptr; }

 private:
  std::shared_ptr<TServer> server_;
};

}  // namespace vantelo::relay
