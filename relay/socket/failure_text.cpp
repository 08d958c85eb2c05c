#include "relay/socket/failure_text.h"

#include <cstring>
#include <system_error>

#include "relay/socket/net_exceptions.h"
#include "relay/socket/socket_errors.h"

namespace vantelo::relay {
namespace {

// A name look-up that found nothing has no errno of its own.
constexpr const char* kHostNotFoundWords = "name or service not known";

// An errno value in the system's words, begun in lower case as they sit
// inside a line: "Connection refused" becomes "connection refused"; "I/O
// error" stays. The errno's name follows when asked for.
std::string ErrnoWords(int e, bool withName) {
  const char* name = e > 0 ? strerrorname_np(e) : nullptr;
  const char* description = e > 0 ? strerrordesc_np(e) : nullptr;
  if (!name || !description) return "error " + std::to_string(e);
  std::string text = description;
  if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z') {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return withName ? text + " (" + name + ")" : text;
}

std::string ErrorNumberWords(int errorNumber, int errnoValue, bool withName) {
  if (errorNumber == kErrHostNotFound) return kHostNotFoundWords;
  const int e = errnoValue ? errnoValue : ErrnoOfSocketError(errorNumber);
  if (e == 0) return "socket error " + std::to_string(errorNumber);
  return ErrnoWords(e, withName);
}

}  // namespace

std::string ErrorText(int errorNumber) {
  const TSocketErrorRow* row = SocketErrorRow(errorNumber);
  return "Socket Error # " + std::to_string(errorNumber) + "\r\n" +
         (row ? std::string(row->words) : std::string());
}

std::string ReasonOf(const std::exception& e) {
  if (const auto* socketError = dynamic_cast<const ESocketError*>(&e)) {
    return ReasonOfSocketError(socketError->LastError, socketError->SystemError);
  }
  if (const auto* systemError = dynamic_cast<const std::system_error*>(&e)) {
    const std::error_category& category = systemError->code().category();
    if (category == std::generic_category() || category == std::system_category()) {
      return ReasonOfErrno(systemError->code().value());
    }
  }
  return OneLine(e.what());
}

std::string ReasonOfErrno(int errnoValue) { return ErrnoWords(errnoValue, true); }

std::string ReasonOfSocketError(int errorNumber, int errnoValue) {
  return ErrorNumberWords(errorNumber, errnoValue, true);
}

std::string ReplyWordsOf(int errorNumber) { return ErrorNumberWords(errorNumber, 0, false); }

std::string OneLine(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    line += (c == '\r' || c == '\n') ? ' ' : c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

}  // namespace vantelo::relay
