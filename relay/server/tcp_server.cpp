#include "relay/server/tcp_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <sys/eventfd.h>
#include <unistd.h>

#include "relay/log/log_sink.h"
#include "relay/socket/failure_text.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// A worker whose passes fail this many times in a row, with an error that is
// neither a reset nor an abort, gives its connection up rather than spin.
constexpr int kMaxRepeatedErrors = 3;
// How long the listener waits before it tries again when it is out of
// descriptors or memory.
constexpr auto kResourceWait = std::chrono::milliseconds(100);

enum class TAcceptFailure { Skip, Wait, Fatal };

// What the listener does when an accept fails.
TAcceptFailure ClassifyAcceptError(int number) {
  switch (number) {
    // The one connection being accepted went away before the accept, or
    // accept(2) says to try again: skip it and go on.
    case kErrConnAborted:
    case kErrInterrupted:
    case kErrWouldBlock:
    case kErrNetDown:
    case kErrNoProtocolOption:
    case kErrHostDown:
    case kErrHostUnreachable:
    case kErrNotSupported:
    case kErrNetUnreachable:
      return TAcceptFailure::Skip;
    // Out of descriptors or memory: wait briefly, then go on.
    case kErrTooManyFiles:
    case kErrNoBuffers:
      return TAcceptFailure::Wait;
    default:
      return TAcceptFailure::Fatal;
  }
}

}  // namespace

// ---- worker thread ------------------------------------------------------

void TPeerThread::Setup() {
  peerIP_ = InboundConnection->SocketBinding.RemoteIP;
  peerPort_ = InboundConnection->SocketBinding.RemotePort;
  Server->HandleConnect(*this);
}

void TPeerThread::Step() {
  try {
    if (!Server->HandleExecute(*this)) throw ENoExecuteSpecified();
    repeatedErrors_ = 0;
  } catch (const ESocketError& e) {
    const bool resetOrAborted = e.LastError == kErrConnAborted || e.LastError == kErrConnReset;
    const bool givenUp = resetOrAborted || ++repeatedErrors_ >= kMaxRepeatedErrors;
    if (givenUp) InboundConnection->CloseConnection();
    if (!InboundConnection->IsConnected()) {
      RelayLog(TRelayLogLevel::Info, Server->DescribeWorkerEnd(*this, false, e));
    } else if (!skippedErrorLogged_) {
      skippedErrorLogged_ = true;
      RelayLog(TRelayLogLevel::Info, Server->DescribeConnection(*this) +
                                         ": a copy pass failed and was skipped: " + ReasonOf(e));
    }
  } catch (const EClosedSocket& e) {
    // The client's socket was closed under the copy pass: by the relay's
    // destruction (not worth a line), or by an earlier failure.
    if (!InboundConnection->SocketBinding.Woken()) {
      RelayLog(TRelayLogLevel::Info,
               Server->DescribeConnection(*this) + ": ended on a closed socket: " + ReasonOf(e));
    }
  }
  if (!InboundConnection->IsConnected()) RequestStop();
}

void TPeerThread::Teardown() {
  Server->HandleDisconnect(*this);
  // Close both sides before leaving the worker list, inbound first and the
  // upstream side last, so that an empty list means every socket is closed.
  InboundConnection->CloseConnection();
  AttachedData.reset();
  if (Manager) Manager->ReturnThread(*this);
  Server->RemoveWorker(*this);
}

bool TPeerThread::ClientHungUp() const {
  if (!InboundConnection || !InboundConnection->SocketBinding.SocketOpen()) return false;
  TSocketList failed{InboundConnection->SocketBinding.SocketHandle()};
  return GStack().WaitOnSets(nullptr, nullptr, 0, &failed) > 0;
}

TNetThread::TFailureLine TPeerThread::DescribeFailure(const std::exception& e,
                                                      bool duringSetup) const {
  // The server being stopped woke the connection: an expected end.
  if (InboundConnection && InboundConnection->SocketBinding.Woken()) return {};
  // A client that left while its connection was being set up (a burst of
  // clients that connect and reset at once) is not the relay failing.
  const TRelayLogLevel level =
      duringSetup && ClientHungUp() ? TRelayLogLevel::Info : TRelayLogLevel::Warning;
  return {level, Server->DescribeWorkerEnd(*this, duringSetup, e)};
}

// ---- listener thread ----------------------------------------------------

TListenerThread::TListenerThread(TTCPServer& server)
    : server_(server), listenPollTime_(server.ListenPollTime) {
  ReadyList.reserve(server.Bindings.Count() + 1);
  interruption_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (interruption_ == -1) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TListenerThread::~TListenerThread() { close(interruption_); }

void TListenerThread::Interrupt() {
  const std::uint64_t one = 1;
  // Fails only when the counter is full, which ends the wait all the same.
  [[maybe_unused]] const ssize_t written = write(interruption_, &one, sizeof one);
}

void TListenerThread::Step() {
  ReadyList.clear();
  for (auto& binding : server_.Bindings) ReadyList.push_back(binding->SocketHandle());
  ReadyList.push_back(interruption_);
  int ready = GStack().WaitOnSets(&ReadyList, nullptr, listenPollTime_);
  if (Terminated()) return;
  std::erase(ReadyList, interruption_);
  if (ready < 0) {
    // It would fail again at once: one line for the stretch, and a pause
    // between attempts instead of a spin.
    const int systemError = errno;
    const int error = SocketErrorFromErrno(systemError);
    if (!waitFailing_) {
      waitFailing_ = true;
      RelayLog(TRelayLogLevel::Warning,
               Name() + ": waiting for connections failed, trying again every 100 ms: " +
                   ReasonOfSocketError(error, systemError));
    }
    std::this_thread::sleep_for(kResourceWait);
    return;
  }
  if (waitFailing_) {
    waitFailing_ = false;
    RelayLog(TRelayLogLevel::Info, Name() + ": waiting for connections again");
  }
  if (ready == 0 || ReadyList.empty()) return;
  // A burst of clients is taken in one go, each without a wait of its own.
  for (TSocket listener : ReadyList) {
    for (int i = 0; i < kAcceptBatch && !Terminated() && AcceptOne(listener, i == 0); ++i) {
    }
  }
}

bool TListenerThread::AcceptOne(TSocket listener, bool first) {
  auto connection = std::make_unique<TTCPServerConnection>();
  try {
    connection->SocketBinding.AcceptFrom(listener);
  } catch (const ESocketError& e) {
    switch (ClassifyAcceptError(e.LastError)) {
      case TAcceptFailure::Skip:
        // After the first, an empty queue is simply the end of the batch.
        if (first || e.LastError != kErrWouldBlock) {
          RelayLog(TRelayLogLevel::Info,
                   Name() + ": a connection was lost before it was accepted: " + ReasonOf(e));
        }
        return false;
      case TAcceptFailure::Wait:
        // One line for the whole stretch, not one per attempt.
        if (!waitingForResources_) {
          waitingForResources_ = true;
          RelayLog(TRelayLogLevel::Warning,
                   Name() + ": cannot accept for now, trying again every 100 ms: " + ReasonOf(e));
        }
        std::this_thread::sleep_for(kResourceWait);
        return false;
      case TAcceptFailure::Fatal:
        throw;
    }
  }
  if (waitingForResources_) {
    waitingForResources_ = false;
    RelayLog(TRelayLogLevel::Info, Name() + ": accepting again");
  }
  std::shared_ptr<TPeerThread> worker = server_.ThreadMgr->AcquireThread();
  worker->Server = server_.shared_from_this();
  worker->Manager = server_.ThreadMgr;
  worker->InboundConnection = std::move(connection);
  server_.AddWorker(worker);
  try {
    worker->Launch();
  } catch (const std::system_error& e) {
    // No thread for this one connection: close it and keep accepting.
    RelayLog(TRelayLogLevel::Warning,
             Name() + ": no thread for the connection from " +
                 worker->InboundConnection->SocketBinding.RemoteIP + ":" +
                 std::to_string(worker->InboundConnection->SocketBinding.RemotePort) +
                 ", closed: " + ReasonOf(e));
    server_.RemoveWorker(*worker);
    worker->Manager->ReturnThread(*worker);
    worker->InboundConnection->CloseConnection();
  }
  return true;
}

void TListenerThread::Teardown() {
  // After a deactivation the owner closes the sockets. A listener that failed
  // on its own stops them listening, so that clients are refused instead of
  // waiting for an accept that never comes; the owner still closes them, and
  // the bindings keep their address and port.
  if (Terminated()) return;
  for (auto& binding : server_.Bindings) binding->Wake();
}

TNetThread::TFailureLine TListenerThread::DescribeFailure(const std::exception& e, bool) const {
  return {TRelayLogLevel::Warning,
          Name() + " failed and accepts no more connections: " + ReasonOf(e)};
}

std::string TListenerThread::Name() const {
  std::string name = "listener on ";
  for (std::size_t i = 0; i < server_.Bindings.Count(); ++i) {
    auto& binding = server_.Bindings[i];
    if (i > 0) name += ", ";
    name += (binding.IP.empty() ? "*" : binding.IP) + ":" + std::to_string(binding.Port);
  }
  return name;
}

// ---- server -------------------------------------------------------------

TTCPServer::TTCPServer() = default;

TTCPServer::~TTCPServer() = default;

void TTCPServer::HandleConnect(TPeerThread& thread) {
  if (OnConnect) OnConnect(&thread);
}

void TTCPServer::HandleDisconnect(TPeerThread& thread) {
  if (OnDisconnect) OnDisconnect(&thread);
}

bool TTCPServer::HandleExecute(TPeerThread& thread) {
  if (!OnExecute) return false;
  OnExecute(&thread);
  return true;
}

std::string TTCPServer::DescribeConnection(const TPeerThread& thread) const {
  return "connection from " + thread.PeerIP() + ":" + std::to_string(thread.PeerPort());
}

std::string TTCPServer::DescribeWorkerEnd(const TPeerThread& thread, bool duringSetup,
                                          const std::exception& reason) const {
  return DescribeConnection(thread) + (duringSetup ? " could not start: " : " ended: ") +
         ReasonOf(reason);
}

void TTCPServer::SetActive(bool value) {
  if (value == active_) return;
  if (value) {
    Activate();
  } else {
    Deactivate();
  }
  active_ = value;
}

void TTCPServer::Activate() {
  if (Bindings.Count() == 0) Bindings.Add();
  for (auto& binding : Bindings) {
    binding->OpenSocket(SOCK_STREAM, 0);
    binding->SetOption(SOL_SOCKET, SO_REUSEADDR, 1);
    binding->Bind();
    // The platform's largest backlog: a full accept queue on Linux does not
    // refuse a client but can leave it waiting for an accept that never comes.
    binding->Listen(SOMAXCONN);
    // Non-blocking, so that a connection that vanished between the wait and
    // the accept cannot block the listener.
    binding->SetNonBlocking(true);
  }
  StartListening();
}

void TTCPServer::ActivateOn(TListeningSockets sockets) {
  if (active_) return;
  Bindings.Clear();
  for (auto& socket : sockets) Bindings.Adopt(std::move(socket));
  StartListening();
  active_ = true;
}

TListeningSockets TTCPServer::GiveUpListeners() {
  if (!active_) return {};
  // Interrupted rather than woken: a wake would shut the sockets down, which
  // stops them listening and resets the clients in their backlog.
  ListenerThread->RequestStop();
  ListenerThread->Interrupt();
  ListenerThread->TerminateAndWait();
  ListenerThread.reset();
  active_ = false;
  TListeningSockets sockets = Bindings.TakeAll();
  for (auto& socket : sockets) {
    if (!socket->SocketOpen() || socket->Woken()) return {};
  }
  return sockets;
}

void TTCPServer::StartListening() {
  if (!ThreadMgr) {
    ThreadMgr = std::make_shared<TThreadMgrDefault>();
    ownsThreadMgr_ = true;
  } else {
    ownsThreadMgr_ = false;
  }
  ThreadMgr->SetWorkerClass([] { return std::make_shared<TPeerThread>(); });
  ListenerThread = std::make_shared<TListenerThread>(*this);
  ListenerThread->Launch();
}

void TTCPServer::Deactivate() {
  ListenerThread->RequestStop();
  // Wake the listener; the sockets are closed only once it has ended.
  ListenerThread->Interrupt();
  for (auto& binding : Bindings) binding->Wake();
  EndAllWorkers();
  // The listener may still be taking a thread from the manager: it ends first.
  ListenerThread->TerminateAndWait();
  ListenerThread.reset();
  if (ownsThreadMgr_) ThreadMgr.reset();
  ownsThreadMgr_ = false;
  for (auto& binding : Bindings) {
    if (binding->SocketOpen()) {
      std::string ip = binding->IP;
      int port = binding->Port;
      binding->CloseSocketHandle(true);
      binding->IP = ip;
      binding->Port = port;
    }
  }
}

void TTCPServer::WakeAllWorkers() {
  std::lock_guard<std::mutex> guard(workersLock_);
  for (auto& worker : WorkerThreads) worker->InboundConnection->SocketBinding.Wake();
}

void TTCPServer::EndAllWorkers() {
  WakeAllWorkers();
  // Told by the last worker as it leaves the list: no poll, no first sleep.
  std::unique_lock<std::mutex> lock(workersLock_);
  lastWorkerEnded_.wait_for(lock, std::chrono::milliseconds(TerminateWaitTime),
                            [this] { return WorkerThreads.empty(); });
}

std::size_t TTCPServer::WorkerCount() {
  std::lock_guard<std::mutex> guard(workersLock_);
  return WorkerThreads.size();
}

void TTCPServer::Destroy() {
  if (destroyed_) return;
  destroyed_ = true;
  SetActive(false);
  EndAllWorkers();
  Bindings.Clear();
  // What its connections still had counted in the relay log ends with it.
  FlushRelayLog();
}

void TTCPServer::AddWorker(const std::shared_ptr<TPeerThread>& worker) {
  std::lock_guard<std::mutex> guard(workersLock_);
  WorkerThreads.push_back(worker);
}

void TTCPServer::RemoveWorker(TPeerThread& worker) {
  std::shared_ptr<TPeerThread> last;  // released after the lock
  std::lock_guard<std::mutex> guard(workersLock_);
  auto it = std::find_if(WorkerThreads.begin(), WorkerThreads.end(),
                         [&](const auto& w) { return w.get() == &worker; });
  if (it != WorkerThreads.end()) {
    last = std::move(*it);
    WorkerThreads.erase(it);
    if (WorkerThreads.empty()) lastWorkerEnded_.notify_all();
  }
}

}  // namespace vantelo::relay
