#include "relay/server/tcp_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <system_error>
#include <thread>

#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

constexpr int kStopCheckInterval = 250;  // ms between the stop wait's checks
// A worker whose passes fail this many times in a row, with an error that is
// neither a reset nor an abort, gives its connection up rather than spin.
constexpr int kMaxRepeatedErrors = 3;

// Accept failures that concern only the one connection being accepted: a
// client that went away before the accept, or a network error that accept(2)
// says to retry. The listener skips them and goes on.
bool IsPassingAcceptError(int number) {
  switch (number) {
    case kErrConnAborted: case 10004 /*EINTR*/: case 10035 /*EAGAIN*/:
    case 10050 /*ENETDOWN*/: case 10042 /*ENOPROTOOPT*/: case 10064 /*EHOSTDOWN*/:
    case 10065 /*EHOSTUNREACH*/: case 10045 /*EOPNOTSUPP*/: case 10051 /*ENETUNREACH*/:
    case EPROTO: case ENONET:
      return true;
    default:
      return false;
  }
}

// Out of descriptors or memory: wait briefly and go on accepting.
bool IsResourceAcceptError(int number) {
  return number == 10024 /*EMFILE, ENFILE*/ || number == 10055 /*ENOBUFS, ENOMEM*/;
}

}  // namespace

// ---- worker thread ------------------------------------------------------

void TPeerThread::Setup() { Server->HandleConnect(*this); }

void TPeerThread::Step() {
  try {
    if (!Server->HandleExecute(*this)) throw ENoExecuteSpecified();
    repeatedErrors_ = 0;
  } catch (const ESocketError& e) {
    if (e.LastError == kErrConnAborted || e.LastError == kErrConnReset ||
        ++repeatedErrors_ >= kMaxRepeatedErrors) {
      InboundConnection->CloseConnection();
    }
  } catch (const EClosedSocket&) {
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

// ---- listener thread ----------------------------------------------------

TListenerThread::TListenerThread(TTCPServer& server)
    : server_(server), listenPollTime_(server.ListenPollTime) {
  ReadyList.reserve(server.Bindings.Count());
}

void TListenerThread::Step() {
  ReadyList.clear();
  for (auto& binding : server_.Bindings) ReadyList.push_back(binding->SocketHandle());
  int ready = GStack().WaitOnSets(&ReadyList, nullptr, listenPollTime_);
  if (ready <= 0 || Terminated()) return;
  for (TSocket listener : ReadyList) AcceptOne(listener);
}

void TListenerThread::AcceptOne(TSocket listener) {
  auto connection = std::make_unique<TTCPServerConnection>();
  try {
    connection->SocketBinding.AcceptFrom(listener);
  } catch (const ESocketError& e) {
    if (IsPassingAcceptError(e.LastError)) return;
    if (IsResourceAcceptError(e.LastError)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return;
    }
    throw;
  }
  std::shared_ptr<TPeerThread> worker = server_.ThreadMgr->AcquireThread();
  worker->Server = server_.shared_from_this();
  worker->Manager = server_.ThreadMgr;
  worker->InboundConnection = std::move(connection);
  server_.AddWorker(worker);
  try {
    worker->Launch();
  } catch (const std::system_error&) {
    // No thread for this one connection: close it and keep accepting.
    server_.RemoveWorker(*worker);
    worker->Manager->ReturnThread(*worker);
    worker->InboundConnection->CloseConnection();
  }
}

void TListenerThread::Teardown() {
  // After a deactivation the owner closes the sockets; only a listener that
  // ended by itself closes them here, so that nothing waits on a dead port.
  if (Terminated()) return;
  for (std::size_t i = server_.Bindings.Count(); i-- > 0;) {
    server_.Bindings[i].CloseSocketHandle(true);
  }
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

void TTCPServer::EndAllWorkers() {
  {
    std::lock_guard<std::mutex> guard(workersLock_);
    for (auto& worker : WorkerThreads) worker->InboundConnection->SocketBinding.Wake();
  }
  for (int i = TerminateWaitTime / kStopCheckInterval; i > 0; --i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopCheckInterval));
    std::lock_guard<std::mutex> guard(workersLock_);
    if (WorkerThreads.empty()) break;
  }
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
  }
}

}  // namespace vantelo::relay
