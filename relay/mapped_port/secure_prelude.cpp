#include "relay/mapped_port/secure_prelude.h"

#include <cctype>
#include <chrono>
#include <memory>
#include <utility>

#include "relay/mapped_port/login.h"
#include "relay/socket/net_exceptions.h"
#include "relay/socket/tls_transport.h"

namespace vantelo::relay {
namespace {

using Clock = std::chrono::steady_clock;

// Longer replies are no SMTP server's.
constexpr std::size_t kMaxReply = 64 * 1024;
// How much of a server's reply a reason quotes.
constexpr std::size_t kQuoted = 120;

// What goes after EHLO: no name of this computer's, in clear or not.
constexpr const char* kEhloName = "[127.0.0.1]";

// A TLS record's first bytes (a handshake or an alert, version 3.x).
bool LooksLikeTls(const std::string& bytes) {
  return bytes.size() >= 2 && (bytes[0] == 0x16 || bytes[0] == 0x15) && bytes[1] == 0x03;
}

// Every line of the reply has `code`.
bool EveryLineHas(const std::string& reply, const char* code, std::string& other) {
  for (std::size_t start = 0; start < reply.size();) {
    std::size_t end = reply.find('\n', start);
    if (end == std::string::npos) end = reply.size();
    if (reply.compare(start, 3, code) != 0) {
      other = reply.substr(start, end - start);
      return false;
    }
    start = end + 1;
  }
  return true;
}

class TDialogue final : public TSmtpExchange {
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
        if (!tlsHint_.empty() && LooksLikeTls(buffer_))
          throw ESessionError("the server speaks TLS from the first byte: " + tlsHint_);
      } else if (n == 0) {
        throw ESessionError("the server closed the connection before its " + awaited);
      } else {
        Wait(client_.ReceiveNeeds(), "sent no " + awaited);
      }
    }
  }

  void Send(const std::string& command, const std::string& what) {
    std::size_t sent = 0;
    while (sent < command.size()) {
      const std::size_t n = client_.SendSome(command.data() + sent, command.size() - sent);
      sent += n;
      if (n == 0) Wait(client_.SendNeeds(), "took no " + what);
    }
  }

  std::string Command(const std::string& line, const std::string& what) override {
    Send(line, what);
    return Reply("reply to " + what);
  }

  // What came after the last reply, taken out.
  std::string TakeRest() { return std::exchange(buffer_, std::string()); }
  // What came after the last reply; a server must send nothing there.
  void DropUnasked() { buffer_.clear(); }
  // Said with a time-out and with bytes that look like TLS: which route
  // would fit such a server.
  void HintAtImplicitTls(std::string hint) { tlsHint_ = std::move(hint); }

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
                            " is not SMTP: " + QuoteReply(std::string(line)));
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
        throw ESessionError("the server " + failure + " within " + limitText_ +
                            (tlsHint_.empty() ? "" : " (" + tlsHint_ + ")"));
    }
  }

  TTCPClient& client_;
  Clock::time_point deadline_;
  std::string limitText_;
  const TSocketHandle* abandon_;
  std::string buffer_;
  std::string tlsHint_;
};

// The greeting: 220 on every line, or the reason the server gave.
void CheckGreeting(const std::string& greeting) {
  std::string other;
  if (!EveryLineHas(greeting, "220", other))
    throw ESessionError("the server does not take mail now: " + QuoteReply(other));
}

// EHLO inside TLS, then the login; the EHLO reply.
std::string LogIn(TDialogue& server, const TUpstreamRoute& route, const TSecret& password) {
  const std::string ehlo = server.Command(std::string("EHLO ") + kEhloName + "\r\n", "EHLO");
  if (ehlo.compare(0, 3, "250") != 0)
    throw ELoginRefused("the server refused EHLO: " + QuoteReply(ehlo), false);
  std::string offered;
  const std::unique_ptr<TLoginMechanism> mechanism = ChooseLoginMechanism(ehlo, offered);
  if (!mechanism) {
    throw ELoginRefused(offered.empty() ? "the server offers no login (no AUTH in its EHLO reply)"
                                        : "the server offers neither PLAIN nor LOGIN (AUTH " +
                                              QuoteReply(offered) + ")",
                        false);
  }
  std::string reply;
  try {
    reply = mechanism->LogIn(server, route.user, password);
  } catch (const ETlsError&) {
    throw;
  } catch (const ESessionError& e) {
    throw ELoginRefused(e.what(), false);  // no answer in time, or none that is SMTP
  }
  // Every line: a "235-" line followed by a refusal is no login.
  if (std::string other; !EveryLineHas(reply, "235", other))
    throw ELoginRefused(QuoteReply(other), other.compare(0, 3, "535") == 0);
  // Nothing may come unasked after the login's reply.
  server.DropUnasked();
  return ehlo;
}

}  // namespace

std::string DescribeLimit(int limitMs) {
  return limitMs % 1000 == 0 ? std::to_string(limitMs / 1000) + " s"
                             : std::to_string(limitMs) + " ms";
}

std::string QuoteReply(const std::string& reply) {
  std::string line;
  for (char c : reply) {
    if (c == '\r' || c == '\n' || line.size() >= kQuoted) break;
    line += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  }
  return line;
}

TSecureStart StartSecureSession(TTCPClient& client, const TUpstreamRoute& route, int limitMs,
                                const TSocketHandle* abandonOnHangUp, const TSecret* password) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  const std::string limitText = DescribeLimit(limitMs);
  TSecureStart start;
  TDialogue dialogue(client, deadline, limitText, abandonOnHangUp);
  if (route.security == TUpstreamSecurity::StartTls) {
    dialogue.HintAtImplicitTls(
        "a port that speaks TLS from the first byte, such as 465, "
        "needs smtps://");
    start.greeting = dialogue.Reply("greeting");
    dialogue.HintAtImplicitTls("");
    CheckGreeting(start.greeting);
    dialogue.Send(std::string("EHLO ") + kEhloName + "\r\n", "EHLO");
    const std::string ehlo = dialogue.Reply("reply to EHLO");
    if (ehlo.compare(0, 3, "250") != 0)
      throw ESessionError("the server refused EHLO: " + QuoteReply(ehlo));
    if (!OffersExtension(ehlo, "STARTTLS")) {
      throw ESessionError("the server does not offer STARTTLS");
    }
    dialogue.Send("STARTTLS\r\n", "STARTTLS");
    const std::string ready = dialogue.Reply("reply to STARTTLS");
    if (ready.compare(0, 3, "220") != 0)
      throw ESessionError("the server refused STARTTLS: " + QuoteReply(ready));
    // Bytes before the handshake that nobody asked for are no part of the
    // protected session.
    dialogue.DropUnasked();
  }
  StartTls(client, route.serverName, deadline, limitText, abandonOnHangUp);
  if (route.security == TUpstreamSecurity::ImplicitTls) {
    // Reading it also takes what TLS 1.3 sends after the handshake: a server
    // that refuses the relay then, or never greets, is a failed start.
    start.greeting = dialogue.Reply("greeting");
    CheckGreeting(start.greeting);
  }
  if (password) {
    start.ehloReply = LogIn(dialogue, route, *password);
  } else {
    // Without a login the rest is the client's, as the server sent it.
    start.greeting += dialogue.TakeRest();
  }
  return start;
}

}  // namespace vantelo::relay
