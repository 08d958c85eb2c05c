#include "relay/socket/failure_reason.h"

#include <system_error>

#include "relay/log/log_sink.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {

std::string ReasonOf(const std::exception& e) {
  if (const auto* socketError = dynamic_cast<const ESocketError*>(&e)) {
    return DescribeSocketError(socketError->LastError, socketError->SystemError);
  }
  if (const auto* systemError = dynamic_cast<const std::system_error*>(&e)) {
    const std::error_category& category = systemError->code().category();
    if (category == std::generic_category() || category == std::system_category()) {
      return DescribeErrno(systemError->code().value());
    }
  }
  return OneLine(e.what());
}

}  // namespace vantelo::relay
