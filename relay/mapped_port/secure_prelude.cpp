#include "relay/mapped_port/secure_prelude.h"

#include <cctype>
#include <chrono>
#include <unistd.h>

#include "relay/socket/net_exceptions.h"
#include "relay/socket/tls_transport.h"

namespace vantelo::relay {
namespace {

using Clock = std::chrono::steady_clock;

// Longer replies are no SMTP server's.
constexpr std::size_t kMaxReply = 64 * 1024;
// How much of a server's reply a reason quotes.
constexpr std::size_t kQuoted = 120;

// The first line of a reply, fit to quote in a reason: printable ASCII only.
std::string Quote(const std::string& reply) {
  std::string line;
  for (char c : reply) {
    if (c == '\r' || c == '\n' || line.size() >= kQuoted) break;
    line += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  }
  return line;
}

// This computer's name for EHLO; an address literal when it has none fit.
std::string ThisComputer() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0 && name[0]) {
    bool fit = true;
    for (const char* p = name; *p; ++p) {
      if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != '-' && *p != '.') fit = false;
    }
    if (fit) return name;
  }
  return "[127.0.0.1]";
}

class TDialogue {
 public:
  TDialogue(TTCPClient& client, Clock::time_point deadline, std::string limitText,
            const TSocketHandle* abandon)
      : client_(client), deadline_(deadline), limitText_(std::move(limitText)), abandon_(abandon) {}

  // One whole reply (all its lines). `awaited` names it in reasons.
  std::string Reply(const std::string& awaited) {
    for (;;) {
      if (std::size_t end = ReplyEnd(awaited); end != std::string::npos) {
        std::string reply = buffer_.substr(0, end);
        buffer_.erase(0, end);
        return reply;
      }
      char block[4096];
      const ssize_t n = client_.ReceiveSome(block, sizeof block);
      if (n > 0) {
        buffer_.append(block, static_cast<std::size_t>(n));
        if (buffer_.size() > kMaxReply)
          throw ESessionError("the server's " + awaited + " is too long");
      } else if (n == 0) {
        throw ESessionError("the server closed the connection before its " + awaited);
      } else {
        Wait(TNeed::Readable, "sent no " + awaited);
      }
    }
  }

  void Send(const std::string& command, const std::string& what) {
    std::size_t sent = 0;
    while (sent < command.size()) {
      const std::size_t n = client_.SendSome(command.data() + sent, command.size() - sent);
      sent += n;
      if (n == 0) Wait(TNeed::Writable, "took no " + what);
    }
  }

  // What came after the last reply; a server must send nothing there.
  void DropUnasked() { buffer_.clear(); }

 private:
  // The end of the first complete reply in the buffer, or npos.
  std::size_t ReplyEnd(const std::string& awaited) const {
    std::size_t start = 0;
    for (;;) {
      const std::size_t lf = buffer_.find('\n', start);
      if (lf == std::string::npos) return std::string::npos;
      const std::string_view line(buffer_.data() + start, lf - start);
      const bool coded = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                         std::isdigit(static_cast<unsigned char>(line[1])) &&
                         std::isdigit(static_cast<unsigned char>(line[2]));
      if (!coded)
        throw ESessionError("the server's " + awaited +
                            " is not SMTP: " + Quote(std::string(line)));
      if (line.size() < 4 || line[3] != '-') return lf + 1;
      start = lf + 1;
    }
  }

  void Wait(TNeed need, const std::string& failure) {
    switch (WaitForSocket(client_.SocketBinding, need, deadline_, abandon_)) {
      case TWaitEnd::Ready:
        return;
      case TWaitEnd::Abandoned:
        throw ESocketError(kErrConnAborted);
      case TWaitEnd::TimedOut:
        throw ESessionError("the server " + failure + " within " + limitText_);
    }
  }

  TTCPClient& client_;
  Clock::time_point deadline_;
  std::string limitText_;
  const TSocketHandle* abandon_;
  std::string buffer_;
};

bool Offers(const std::string& ehloReply, const std::string& keyword) {
  std::size_t start = 0;
  while (start < ehloReply.size()) {
    std::size_t end = ehloReply.find('\n', start);
    if (end == std::string::npos) end = ehloReply.size();
    // "250-STARTTLS" or "250 STARTTLS", maybe with parameters after a blank.
    std::size_t i = start + 4;
    std::size_t k = 0;
    while (i < end && k < keyword.size() &&
           std::toupper(static_cast<unsigned char>(ehloReply[i])) == keyword[k]) {
      ++i;
      ++k;
    }
    if (k == keyword.size() && (i == end || ehloReply[i] == ' ' || ehloReply[i] == '\r'))
      return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::string DescribeLimit(int limitMs) {
  return limitMs % 1000 == 0 ? std::to_string(limitMs / 1000) + " s"
                             : std::to_string(limitMs) + " ms";
}

std::string StartSecureSession(TTCPClient& client, const TUpstreamRoute& route, int limitMs,
                               const TSocketHandle* abandonOnHangUp) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  const std::string limitText = DescribeLimit(limitMs);
  std::string greeting;
  if (route.security == TUpstreamSecurity::StartTls) {
    TDialogue dialogue(client, deadline, limitText, abandonOnHangUp);
    greeting = dialogue.Reply("greeting");
    if (greeting.compare(0, 3, "220") != 0) {
      throw ESessionError("the server does not take mail now: " + Quote(greeting));
    }
    dialogue.Send("EHLO " + ThisComputer() + "\r\n", "EHLO");
    const std::string ehlo = dialogue.Reply("reply to EHLO");
    if (ehlo.compare(0, 3, "250") != 0)
      throw ESessionError("the server refused EHLO: " + Quote(ehlo));
    if (!Offers(ehlo, "STARTTLS")) {
      throw ESessionError("the server does not offer STARTTLS");
    }
    dialogue.Send("STARTTLS\r\n", "STARTTLS");
    const std::string ready = dialogue.Reply("reply to STARTTLS");
    if (ready.compare(0, 3, "220") != 0)
      throw ESessionError("the server refused STARTTLS: " + Quote(ready));
    // Bytes before the handshake that nobody asked for are no part of the
    // protected session.
    dialogue.DropUnasked();
  }
  StartTls(client, route.serverName, deadline, limitText, abandonOnHangUp);
  return greeting;
}

}  // namespace vantelo::relay
