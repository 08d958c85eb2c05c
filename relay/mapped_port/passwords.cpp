#include "relay/mapped_port/passwords.h"

#include <openssl/crypto.h>

namespace vantelo::relay {

void TSecret::Wipe() {
  // The whole capacity: a shorter value may have left a longer one's tail.
  value_.resize(value_.capacity());
  OPENSSL_cleanse(value_.data(), value_.size());
  value_.clear();
}

std::string TLoginAccount::Describe() const {
  const bool ipv6 = host.find(':') != std::string::npos;
  return user + "@" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace vantelo::relay
