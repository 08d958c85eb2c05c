// Exceptions of the relay. Every failure inside the relay is one of these
// classes, each with its fixed message; none of them is ever shown to the user
// except the activation failures that the caller chooses to show.
#pragma once

#include <stdexcept>
#include <string>

namespace vantelo::relay {

// Socket error numbers that steer the relay. They keep the numbers of the
// original Windows Sockets platform so that messages and rules stay the same.
inline constexpr int kErrConnAborted = 10053;
inline constexpr int kErrConnReset = 10054;
inline constexpr int kErrShutdown = 10058;  // send or receive after shut-down
inline constexpr int kErrAddrInUse = 10048;

// "Socket Error # N\r\nTEXT", TEXT from the error table (empty when unknown).
std::string ErrorText(int errorNumber);

// The error number for a POSIX errno value; 0 stays 0, unknown values pass
// through unchanged (their text is then empty).
int SocketErrorFromErrno(int errnoValue);

class ENetException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ESocketError : public ENetException {
 public:
  explicit ESocketError(int errorNumber)
      : ENetException(ErrorText(errorNumber)), LastError(errorNumber) {}
  int LastError;
};

class ESilentException : public ENetException {
 public:
  using ENetException::ENetException;
};

class EConnClosedGracefully : public ESilentException {
 public:
  EConnClosedGracefully() : ESilentException("Connection Closed Gracefully.") {}
};

class EInvalidSocket : public ENetException {
 public:
  EInvalidSocket() : ENetException("Cannot allocate socket.") {}
};

class ESocketHandleError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ECouldNotBindSocket : public ESocketHandleError {
 public:
  ECouldNotBindSocket()
      : ESocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

class EAlreadyConnected : public ENetException {
 public:
  EAlreadyConnected() : ENetException("Already connected.") {}
};

class ETCPConnectionError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENotEnoughDataInBuffer : public ETCPConnectionError {
 public:
  ENotEnoughDataInBuffer() : ETCPConnectionError("Not enough data in buffer.") {}
};

class EStackError : public ENetException {
 public:
  using ENetException::ENetException;
};

class EStackSetSizeExceeded : public EStackError {
 public:
  EStackSetSizeExceeded() : EStackError("Set Size Exceeded.") {}
};

// Kept so that callers may catch it; POSIX sockets need no start-up, so the
// socket layer never raises it.
class EStackInitializationFailed : public EStackError {
 public:
  EStackInitializationFailed() : EStackError("Winsock Initialization Error.") {}
};

class EClosedSocket : public ENetException {
 public:
  using ENetException::ENetException;
};

class EThreadClassNotSpecified : public ENetException {
 public:
  EThreadClassNotSpecified() : ENetException("Thread Class Not Specified.") {}
};

class ENoExecuteSpecified : public ENetException {
 public:
  ENoExecuteSpecified() : ENetException("No execute handler found.") {}
};

}  // namespace vantelo::relay
