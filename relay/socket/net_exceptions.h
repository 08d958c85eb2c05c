// Exceptions of the relay. Every failure inside the relay is one of these
// classes, each with its fixed message; none of them is ever shown to the user
// except the activation failures that the caller chooses to show.
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>

#include "relay/socket/failure_text.h"
#include "relay/socket/socket_errors.h"

namespace vantelo::relay {

class ENetException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ESocketError : public ENetException {
 public:
  // Raised right after the failed call, so the calling thread's errno still
  // tells which of the errno values behind the number it was (EMFILE or
  // ENFILE, ENOMEM or ENOBUFS); for a number found another way (a pending
  // error, a reset seen as a hang-up) errno says something else, and the
  // usual errno value for the number stands in.
  explicit ESocketError(int errorNumber) : ESocketError(errorNumber, ErrorText(errorNumber)) {}
  int LastError;
  int SystemError;  // the errno value, for the log; 0 when there is none

 protected:
  // A message of its own instead of ErrorText's.
  ESocketError(int errorNumber, const std::string& message)
      : ENetException(message),
        LastError(errorNumber),
        SystemError(errno != 0 && SocketErrorFromErrno(errno) == errorNumber
                        ? errno
                        : ErrnoOfSocketError(errorNumber)) {}
};

// A connect that its own time limit ended before the server answered (a
// server whose packets are dropped answers never; the system would try for
// over two minutes).
class EConnectTimedOut : public ESocketError {
 public:
  explicit EConnectTimedOut(int limitMs) : ESocketError(kErrTimedOut), LimitMs(limitMs) {}
  int LimitMs;
};

// A port below 1024 bound by a program without the right to (kErrAccessDenied):
// the message says how to give it the right, or what to choose instead.
class EPortNotPermitted : public ESocketError {
 public:
  EPortNotPermitted(int port, const std::string& program)
      : ESocketError(kErrAccessDenied,
                     ReasonOfSocketError(kErrAccessDenied) + ": port " + std::to_string(port) +
                         " is below 1024, which only a program with the right may "
                         "use: sudo setcap cap_net_bind_service=+ep " +
                         program + " (again after each update), or a port above 1023") {}
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

// A session with the upstream server that could not start (a server text
// that names no usable server, a STARTTLS dialogue that failed) or whose
// protection failed. The message is the reason, short and in words a person
// can act on: it goes into the client's 421 reply and the relay log.
class ESessionError : public ENetException {
 public:
  using ENetException::ENetException;
};

// The TLS layer failed: the handshake, the certificate check, or a record
// later on.
class ETlsError : public ESessionError {
 public:
  using ESessionError::ESessionError;
};

}  // namespace vantelo::relay
