// vantelo-relay's --password-file: the password of every login of the run,
// on the first line of a file that only its owner, the user running the
// relay, may read or write. The file is checked at start and read afresh
// for each login, so the password stays in memory only while a login needs
// it.
#pragma once

#include <string>

#include "relay/mapped_port/passwords.h"

namespace vantelo::tools {

class TPasswordFile : public relay::TPasswordSource {
 public:
  explicit TPasswordFile(std::string path) : path_(std::move(path)) {}
  // "" when the file may serve, else why not ("... may be read by others
  // (mode 0644): chmod 600 FILE").
  std::string Check() const;
  relay::TPasswordLookup Find(const relay::TLoginAccount& account) override;

 private:
  // The first line, or the reason there is none in `reason`.
  relay::TSecret Read(std::string& reason) const;
  std::string path_;
};

}  // namespace vantelo::tools
