#include "relay/socket/socket_handle.h"

#include <climits>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// The program file to give a right to, as the system names it.
std::string ThisProgram() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "PROGRAM";
}

}  // namespace

TSocketHandle::TSocketHandle(TSocketHandles* collection) {
  if (collection) Port = collection->DefaultPort;
}

TSocketHandle::~TSocketHandle() { CloseSocketHandle(true); }

void TSocketHandle::Adopt(TSocket s) {
  woken_.store(false, std::memory_order_release);
  sendingEnded_ = false;
  socket_.store(s, std::memory_order_release);
  open_.store(true, std::memory_order_release);
}

void TSocketHandle::OpenSocket(int type, int protocol, int family) {
  CloseSocketHandle(true);
  Adopt(GStack().CreateSocketHandle(type, protocol, family));
}

void TSocketHandle::CloseSocketHandle(bool resetLocal) {
  std::lock_guard<std::mutex> guard(closeLock_);
  if (!open_.load(std::memory_order_acquire)) return;
  open_.store(false, std::memory_order_release);
  TSocket s = socket_.load(std::memory_order_acquire);
  if (!sendingEnded_) GStack().Shutdown(s, SHUT_WR);
  GStack().CloseSocket(s);
  Reset(resetLocal);
}

void TSocketHandle::CloseWithReset() {
  std::lock_guard<std::mutex> guard(closeLock_);
  if (!open_.load(std::memory_order_acquire)) return;
  open_.store(false, std::memory_order_release);
  const TSocket s = socket_.load(std::memory_order_acquire);
  const linger abort{1, 0};
  GStack().SetSockOpt(s, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  GStack().CloseSocket(s);
  Reset(true);
}

int TSocketHandle::Unacknowledged() const {
  int queued = -1;
  if (!SocketOpen() || ioctl(SocketHandle(), SIOCOUTQ, &queued) != 0) return -1;
  return queued;
}

void TSocketHandle::EndSending() {
  if (sendingEnded_ || !SocketOpen()) return;
  sendingEnded_ = true;
  GStack().Shutdown(SocketHandle(), SHUT_WR);
}

void TSocketHandle::Wake() {
  std::lock_guard<std::mutex> guard(closeLock_);
  // Marked even when already closed: its owner may still be busy with other
  // sockets on its behalf (a lingering close of the other side).
  woken_.store(true, std::memory_order_release);
  if (open_.load(std::memory_order_acquire)) {
    GStack().Shutdown(socket_.load(std::memory_order_acquire), SHUT_RDWR);
  }
}

void TSocketHandle::Reset(bool resetLocal) {
  open_.store(false, std::memory_order_release);
  socket_.store(kInvalidSocket, std::memory_order_release);
  if (resetLocal) {
    IP.clear();
    Port = 0;
  }
  RemoteIP.clear();
  RemotePort = 0;
}

void TSocketHandle::Bind() {
  if (GStack().Bind(SocketHandle(), IP, Port) == -1) {
    int number = GStack().LastError();
    if (number == kErrAddrInUse) throw ECouldNotBindSocket();
    if (number == kErrAccessDenied && Port > 0 && Port < 1024)
      throw EPortNotPermitted(Port, ThisProgram());
    throw ESocketError(number);
  }
  RefreshLocal();
}

void TSocketHandle::Listen(int backlog) {
  GStack().CheckForSocketError(GStack().Listen(SocketHandle(), backlog));
}

void TSocketHandle::AcceptFrom(TSocket listener) {
  std::string remoteIP;
  int remotePort = 0;
  TSocket s = GStack().Accept(listener, remoteIP, remotePort);
  GStack().CheckForSocketError(s);
  Adopt(s);
  RefreshLocal();
  RemoteIP = std::move(remoteIP);
  RemotePort = remotePort;
}

int TSocketHandle::Connect() {
  int result = GStack().Connect(SocketHandle(), RemoteIP, RemotePort);
  if (result != -1) {
    RefreshLocal();
    RefreshRemote();
  }
  return result;
}

bool TSocketHandle::WaitReadable(int limitMs) {
  if (!SocketOpen()) throw EConnClosedGracefully();
  TSocketList read{SocketHandle()};
  return GStack().WaitOnSets(&read, nullptr, limitMs) == 1;
}

ssize_t TSocketHandle::Send(const void* data, std::size_t length) {
  return GStack().Send(SocketHandle(), data, length);
}

ssize_t TSocketHandle::Receive(void* buffer, std::size_t length) {
  return GStack().Recv(SocketHandle(), buffer, length);
}

void TSocketHandle::SetOption(int level, int option, int value) {
  GStack().CheckForSocketError(
      GStack().SetSockOpt(SocketHandle(), level, option, &value, sizeof value));
}

void TSocketHandle::SetNonBlocking(bool on) {
  GStack().CheckForSocketError(GStack().SetNonBlocking(SocketHandle(), on));
}

void TSocketHandle::RefreshLocal() { GStack().LocalAddress(SocketHandle(), IP, Port); }

void TSocketHandle::RefreshRemote() {
  GStack().RemoteAddress(SocketHandle(), RemoteIP, RemotePort);
}

TSocketHandle& TSocketHandles::Add() {
  items_.push_back(std::make_unique<TSocketHandle>(this));
  return *items_.back();
}

}  // namespace vantelo::relay
