// What a login route answers the mail program itself, once the relay has
// logged in and before the copy pass: the server's greeting, then, until the
// client's first other command, its EHLO (the extensions the server offered,
// without AUTH and STARTTLS), HELO (a plain 250) and AUTH (a refusal: the
// relay logs in for this route, and the client's credentials never go
// upstream; whatever came with its AUTH is dropped). That first other
// command and everything after it pass unchanged: a later EHLO goes to the
// server.
//
// Bounded: a line of at most kMaxClientLine bytes, at most kMaxFrontAnswers
// answers, and limitMs for all of it; past a bound the client gets a 421.
#pragma once

#include <string>

#include "relay/socket/tcp_connection.h"

namespace vantelo::relay {

inline constexpr std::size_t kMaxClientLine = 4096;
inline constexpr int kMaxFrontAnswers = 16;

struct TClientFront {
  enum class TEnd {
    Handed,       // readAhead holds the first other command and what came after it
    ClientEnded,  // the client closed, reset or was woken
    Refused,      // a bound was passed; the client has had its 421
  };
  TEnd end = TEnd::ClientEnded;
  std::string readAhead;  // at most kMaxClientLine + 4096 bytes
  std::string reason;     // for Refused and ClientEnded, for the log
};

// `serverName` names the server in the AUTH refusal.
TClientFront AnswerClientFront(TTCPConnection& inbound, const std::string& greeting,
                               const std::string& ehloReply, const std::string& serverName,
                               int limitMs);

// The reply to the client's EHLO: `ehloReply` without AUTH and STARTTLS.
std::string EhloReplyForClient(const std::string& ehloReply);

}  // namespace vantelo::relay
