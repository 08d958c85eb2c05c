#include "relay/socket/socket_errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantelo::relay {
namespace {

const char* ErrorTableText(int number) {
  switch (number) {
    case 10004:
      return "Interrupted system call.";
    case 10009:
      return "Bad file number.";
    case 10013:
      return "Access denied.";
    case 10014:
      return "Bad address.";
    case 10022:
      return "Invalid argument.";
    case 10024:
      return "Too many open files.";
    case 10035:
      return "Operation would block. ";
    case 10036:
      return "Operation now in progress.";
    case 10037:
      return "Operation already in progress.";
    case 10038:
      return "Socket operation on non-socket.";
    case 10039:
      return "Destination address required.";
    case 10040:
      return "Message too long.";
    case 10041:
      return "Protocol wrong type for socket.";
    case 10042:
      return "Bad protocol option.";
    case 10043:
      return "Protocol not supported.";
    case 10044:
      return "Socket type not supported.";
    case 10045:
      return "Operation not supported on socket.";
    case 10046:
      return "Protocol family not supported.";
    case 10047:
      return "Address family not supported by protocol family.";
    case 10048:
      return "Address already in use.";
    case 10049:
      return "Cannot assign requested address.";
    case 10050:
      return "Network is down.";
    case 10051:
      return "Network is unreachable.";
    case 10052:
      return "Net dropped connection or reset.";
    case 10053:
      return "Software caused connection abort.";
    case 10054:
      return "Connection reset by peer.";
    case 10055:
      return "No buffer space available.";
    case 10056:
      return "Socket is already connected.";
    case 10057:
      return "Socket is not connected.";
    case 10058:
      return "Cannot send or receive after socket is closed.";
    case 10059:
      return "Too many references, cannot splice.";
    case 10060:
      return "Connection timed out.";
    case 10061:
      return "Connection refused.";
    case 10062:
      return "Too many levels of symbolic links.";
    case 10063:
      return "File name too long.";
    case 10064:
      return "Host is down.";
    case 10065:
      return "No route to host.";
    case 10066:
      return "Directory not empty";
    default:
      return "";
  }
}

}  // namespace

std::string ErrorText(int errorNumber) {
  char head[48];
  std::snprintf(head, sizeof head, "Socket Error # %d\r\n", errorNumber);
  return std::string(head) + ErrorTableText(errorNumber);
}

int SocketErrorFromErrno(int e) {
  switch (e) {
    case 0:
      return 0;
    case EINTR:
      return kErrInterrupted;
    case EBADF:
      return 10009;
    case EACCES:
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return kErrTooManyFiles;
    case EAGAIN:
      return kErrWouldBlock;
    case EINPROGRESS:
      return kErrInProgress;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return kErrNoProtocolOption;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return kErrNotSupported;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return kErrAddrInUse;
    case EADDRNOTAVAIL:
      return 10049;
    // A host that left the network is, for the relay, a network that is down.
    case ENETDOWN:
    case ENONET:
      return kErrNetDown;
    case ENETUNREACH:
      return kErrNetUnreachable;
    case ENETRESET:
      return 10052;
    // A protocol error on a connection being accepted aborts that connection.
    case ECONNABORTED:
    case EPROTO:
      return kErrConnAborted;
    case ECONNRESET:
      return kErrConnReset;
    case ENOBUFS:
    case ENOMEM:
      return kErrNoBuffers;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case EPIPE:
    case ESHUTDOWN:
      return kErrShutdown;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return kErrHostDown;
    case EHOSTUNREACH:
      return kErrHostUnreachable;
    case ENOTEMPTY:
      return 10066;
    default:
      return e;
  }
}

int ErrnoOfSocketError(int number) {
  switch (number) {
    case kErrInterrupted:
      return EINTR;
    case 10009:
      return EBADF;
    case 10013:
      return EACCES;
    case 10014:
      return EFAULT;
    case 10022:
      return EINVAL;
    case kErrTooManyFiles:
      return EMFILE;
    case kErrWouldBlock:
      return EAGAIN;
    case kErrInProgress:
      return EINPROGRESS;
    case 10037:
      return EALREADY;
    case 10038:
      return ENOTSOCK;
    case 10039:
      return EDESTADDRREQ;
    case 10040:
      return EMSGSIZE;
    case 10041:
      return EPROTOTYPE;
    case kErrNoProtocolOption:
      return ENOPROTOOPT;
    case 10043:
      return EPROTONOSUPPORT;
    case 10044:
      return ESOCKTNOSUPPORT;
    case kErrNotSupported:
      return EOPNOTSUPP;
    case 10046:
      return EPFNOSUPPORT;
    case 10047:
      return EAFNOSUPPORT;
    case kErrAddrInUse:
      return EADDRINUSE;
    case 10049:
      return EADDRNOTAVAIL;
    case kErrNetDown:
      return ENETDOWN;
    case kErrNetUnreachable:
      return ENETUNREACH;
    case 10052:
      return ENETRESET;
    case kErrConnAborted:
      return ECONNABORTED;
    case kErrConnReset:
      return ECONNRESET;
    case kErrNoBuffers:
      return ENOBUFS;
    case 10056:
      return EISCONN;
    case 10057:
      return ENOTCONN;
    case kErrShutdown:
      return EPIPE;
    case 10059:
      return ETOOMANYREFS;
    case 10060:
      return ETIMEDOUT;
    case 10061:
      return ECONNREFUSED;
    case 10062:
      return ELOOP;
    case 10063:
      return ENAMETOOLONG;
    case kErrHostDown:
      return EHOSTDOWN;
    case kErrHostUnreachable:
      return EHOSTUNREACH;
    case 10066:
      return ENOTEMPTY;
    case kErrHostNotFound:
      return 0;
    default:
      // A number that passed through unchanged is an errno value itself.
      return number > 0 && number < 10000 ? number : 0;
  }
}

std::string DescribeErrno(int e) {
  const char* name = e > 0 ? strerrorname_np(e) : nullptr;
  const char* description = e > 0 ? strerrordesc_np(e) : nullptr;
  if (!name || !description) return "error " + std::to_string(e);
  // The system's sentence, begun in lower case as it sits inside a line:
  // "Connection refused" becomes "connection refused"; "I/O error" stays.
  std::string text = description;
  if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z') {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text + " (" + name + ")";
}

std::string DescribeSocketError(int number, int errnoValue) {
  // A name look-up that found nothing has no errno of its own.
  if (number == kErrHostNotFound) return "name or service not known";
  const int e = errnoValue ? errnoValue : ErrnoOfSocketError(number);
  if (e == 0) return "socket error " + std::to_string(number);
  return DescribeErrno(e);
}

}  // namespace vantelo::relay
