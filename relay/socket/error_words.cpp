#include "relay/socket/error_words.h"

#include <cstring>

#include "relay/socket/socket_errors.h"

namespace vantelo::relay {

std::string ErrorInWords(int errorNumber) {
  // The log's words without the errno's name: "connection refused".
  std::string text = DescribeSocketError(errorNumber);
  if (const int e = ErrnoOfSocketError(errorNumber); e > 0) {
    if (const char* name = strerrorname_np(e)) {
      const std::string suffix = std::string(" (") + name + ")";
      if (text.size() > suffix.size() && text.ends_with(suffix))
        text.resize(text.size() - suffix.size());
    }
  }
  return text;
}

}  // namespace vantelo::relay
