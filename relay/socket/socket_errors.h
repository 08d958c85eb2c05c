// The relay's socket error numbers, each with the errno value it stands for
// and the words of the exception that carries it. errno values become these
// numbers here and nowhere else: everything above the socket layer speaks only
// these numbers (10053 for an aborted connection, 10054 for a reset, ...),
// which its messages and rules are written in. failure_text.h says them in
// words.
//
// Constants only; any thread.
#pragma once

#include <cerrno>
#include <string_view>

namespace vantelo::relay {

struct TSocketErrorRow {
  int number;
  // The errno value the number stands for: it becomes the number, and the
  // number becomes it again.
  int errnoValue;
  // A second errno value that the relay treats the same (ENFILE beside
  // EMFILE); it becomes the number but is never read back from it. 0: none.
  int sameAs;
  // The exception's text: "Connection reset by peer."
  std::string_view words;
};

inline constexpr int kErrInterrupted = 10004;
inline constexpr int kErrAccessDenied = 10013;
inline constexpr int kErrTooManyFiles = 10024;
inline constexpr int kErrWouldBlock = 10035;
inline constexpr int kErrInProgress = 10036;
inline constexpr int kErrNoProtocolOption = 10042;
inline constexpr int kErrNotSupported = 10045;
inline constexpr int kErrAddrInUse = 10048;
inline constexpr int kErrNetDown = 10050;
inline constexpr int kErrNetUnreachable = 10051;
inline constexpr int kErrConnAborted = 10053;
inline constexpr int kErrConnReset = 10054;
inline constexpr int kErrNoBuffers = 10055;
inline constexpr int kErrShutdown = 10058;  // send or receive after shut-down
inline constexpr int kErrTimedOut = 10060;
inline constexpr int kErrConnRefused = 10061;
inline constexpr int kErrHostDown = 10064;
inline constexpr int kErrHostUnreachable = 10065;
// A host name that could not be found: no errno and no row of its own.
inline constexpr int kErrHostNotFound = 11001;

inline constexpr TSocketErrorRow kSocketErrors[] = {
    {kErrInterrupted, EINTR, 0, "Interrupted system call."},
    {10009, EBADF, 0, "Bad file number."},
    {kErrAccessDenied, EACCES, EPERM, "Access denied."},
    {10014, EFAULT, 0, "Bad address."},
    {10022, EINVAL, 0, "Invalid argument."},
    {kErrTooManyFiles, EMFILE, ENFILE, "Too many open files."},
    {kErrWouldBlock, EAGAIN, 0, "Operation would block. "},
    {kErrInProgress, EINPROGRESS, 0, "Operation now in progress."},
    {10037, EALREADY, 0, "Operation already in progress."},
    {10038, ENOTSOCK, 0, "Socket operation on non-socket."},
    {10039, EDESTADDRREQ, 0, "Destination address required."},
    {10040, EMSGSIZE, 0, "Message too long."},
    {10041, EPROTOTYPE, 0, "Protocol wrong type for socket."},
    {kErrNoProtocolOption, ENOPROTOOPT, 0, "Bad protocol option."},
    {10043, EPROTONOSUPPORT, 0, "Protocol not supported."},
    {10044, ESOCKTNOSUPPORT, 0, "Socket type not supported."},
    {kErrNotSupported, EOPNOTSUPP, 0, "Operation not supported on socket."},
    {10046, EPFNOSUPPORT, 0, "Protocol family not supported."},
    {10047, EAFNOSUPPORT, 0, "Address family not supported by protocol family."},
    {kErrAddrInUse, EADDRINUSE, 0, "Address already in use."},
    {10049, EADDRNOTAVAIL, 0, "Cannot assign requested address."},
    // A host that left the network is, for the relay, a network that is down.
    {kErrNetDown, ENETDOWN, ENONET, "Network is down."},
    {kErrNetUnreachable, ENETUNREACH, 0, "Network is unreachable."},
    {10052, ENETRESET, 0, "Net dropped connection or reset."},
    // A protocol error on a connection being accepted aborts that connection.
    {kErrConnAborted, ECONNABORTED, EPROTO, "Software caused connection abort."},
    {kErrConnReset, ECONNRESET, 0, "Connection reset by peer."},
    {kErrNoBuffers, ENOBUFS, ENOMEM, "No buffer space available."},
    {10056, EISCONN, 0, "Socket is already connected."},
    {10057, ENOTCONN, 0, "Socket is not connected."},
    {kErrShutdown, EPIPE, ESHUTDOWN, "Cannot send or receive after socket is closed."},
    {10059, ETOOMANYREFS, 0, "Too many references, cannot splice."},
    {kErrTimedOut, ETIMEDOUT, 0, "Connection timed out."},
    {kErrConnRefused, ECONNREFUSED, 0, "Connection refused."},
    {10062, ELOOP, 0, "Too many levels of symbolic links."},
    {10063, ENAMETOOLONG, 0, "File name too long."},
    {kErrHostDown, EHOSTDOWN, 0, "Host is down."},
    {kErrHostUnreachable, EHOSTUNREACH, 0, "No route to host."},
    {10066, ENOTEMPTY, 0, "Directory not empty"},
};

// The row of an error number; nullptr for a number without one.
constexpr const TSocketErrorRow* SocketErrorRow(int errorNumber) {
  for (const TSocketErrorRow& row : kSocketErrors) {
    if (row.number == errorNumber) return &row;
  }
  return nullptr;
}

// The error number for a POSIX errno value; 0 stays 0. A value with no row
// passes through unchanged (it then has no words).
constexpr int SocketErrorFromErrno(int errnoValue) {
  if (errnoValue == 0) return 0;
  for (const TSocketErrorRow& row : kSocketErrors) {
    if (row.errnoValue == errnoValue || row.sameAs == errnoValue) return row.number;
  }
  return errnoValue;
}

// The errno value an error number stands for (ECONNREFUSED for 10061, EPIPE
// for 10058); a number that passed through unchanged is an errno value
// itself; 0 for any other (kErrHostNotFound).
constexpr int ErrnoOfSocketError(int errorNumber) {
  if (const TSocketErrorRow* row = SocketErrorRow(errorNumber)) return row->errnoValue;
  return errorNumber > 0 && errorNumber < 10000 ? errorNumber : 0;
}

}  // namespace vantelo::relay
