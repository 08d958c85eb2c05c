#include "relay/socket/error_words.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <utility>

#include "relay/socket/socket_errors.h"

namespace vantelo::relay {
namespace {

// The errno behind each number that SocketErrorFromErrno gives.
int ErrnoOf(int number) {
  static constexpr std::pair<int, int> kErrnos[] = {
      {kErrInterrupted, EINTR}, {10009, EBADF}, {10013, EACCES}, {10014, EFAULT},
      {10022, EINVAL}, {kErrTooManyFiles, EMFILE}, {kErrWouldBlock, EAGAIN},
      {kErrInProgress, EINPROGRESS}, {10037, EALREADY}, {10038, ENOTSOCK},
      {10039, EDESTADDRREQ}, {10040, EMSGSIZE}, {10041, EPROTOTYPE},
      {kErrNoProtocolOption, ENOPROTOOPT}, {10043, EPROTONOSUPPORT},
      {10044, ESOCKTNOSUPPORT}, {kErrNotSupported, EOPNOTSUPP}, {10046, EPFNOSUPPORT},
      {10047, EAFNOSUPPORT}, {kErrAddrInUse, EADDRINUSE}, {10049, EADDRNOTAVAIL},
      {kErrNetDown, ENETDOWN}, {kErrNetUnreachable, ENETUNREACH}, {10052, ENETRESET},
      {kErrConnAborted, ECONNABORTED}, {kErrConnReset, ECONNRESET},
      {kErrNoBuffers, ENOBUFS}, {10056, EISCONN}, {10057, ENOTCONN},
      {kErrShutdown, EPIPE}, {10059, ETOOMANYREFS}, {10060, ETIMEDOUT},
      {10061, ECONNREFUSED}, {10062, ELOOP}, {10063, ENAMETOOLONG},
      {kErrHostDown, EHOSTDOWN}, {kErrHostUnreachable, EHOSTUNREACH}, {10066, ENOTEMPTY},
  };
  for (const auto& [n, e] : kErrnos) {
    if (n == number) return e;
  }
  return 0;
}

std::string Sentence(std::string text) {
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace

std::string ErrorInWords(int errorNumber) {
  // A name that no look-up found: what getaddrinfo says of it.
  if (errorNumber == kErrHostNotFound) return Sentence(gai_strerror(EAI_NONAME));
  if (int e = ErrnoOf(errorNumber)) {
    if (const char* text = strerrordesc_np(e)) return Sentence(text);
  }
  std::string text = ErrorText(errorNumber);
  text.erase(0, text.find('\n') + 1);
  return Sentence(text.empty() ? "error " + std::to_string(errorNumber) : text);
}

}  // namespace vantelo::relay
