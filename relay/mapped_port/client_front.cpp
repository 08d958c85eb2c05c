#include "relay/mapped_port/client_front.h"

#include <cctype>
#include <chrono>
#include <vector>

#include "relay/mapped_port/login.h"
#include "relay/mapped_port/secure_prelude.h"
#include "relay/socket/failure_text.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// The lines of a reply without their codes and line ends.
std::vector<std::string> Texts(const std::string& reply) {
  std::vector<std::string> texts;
  for (std::size_t start = 0; start < reply.size();) {
    std::size_t end = reply.find('\n', start);
    if (end == std::string::npos) end = reply.size();
    std::string line = reply.substr(start, end - start);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    texts.push_back(line.size() > 4 ? line.substr(4) : std::string());
    start = end + 1;
  }
  return texts;
}

std::string CommandWord(const std::string& line) {
  std::string word;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || word.size() > 8) break;
    word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return word;
}

}  // namespace

std::string EhloReplyForClient(const std::string& ehloReply) {
  std::vector<std::string> kept;
  const std::vector<std::string> texts = Texts(ehloReply);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string line = "250 " + texts[i] + "\r\n";
    // The first line is the server's name, whatever it says.
    if (i > 0 && (OffersExtension("250 x\r\n" + line, "AUTH") ||
                  OffersExtension("250 x\r\n" + line, "STARTTLS")))
      continue;
    kept.push_back(texts[i]);
  }
  if (kept.empty()) kept.push_back("");
  std::string reply;
  for (std::size_t i = 0; i < kept.size(); ++i)
    reply += (i + 1 < kept.size() ? "250-" : "250 ") + kept[i] + "\r\n";
  return reply;
}

TClientFront AnswerClientFront(TTCPConnection& inbound, const std::string& greeting,
                               const std::string& ehloReply, const std::string& serverName,
                               int limitMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  TClientFront front;
  auto refuse = [&](const std::string& reply, const std::string& reason) {
    inbound.WriteText(reply);
    front.end = TClientFront::TEnd::Refused;
    front.reason = reason;
    return front;
  };
  std::string& buffer = front.readAhead;
  int answers = 0;
  try {
    inbound.WriteText(greeting);
    for (;;) {
      const std::size_t lf = buffer.find('\n');
      if (lf == std::string::npos) {
        if (buffer.size() > kMaxClientLine)
          return refuse(
              "421 4.7.0 Line too long; closing\r\n",
              "the mail program sent a line of over " + std::to_string(kMaxClientLine) + " bytes");
        char block[4096];
        const ssize_t n = inbound.ReceiveSome(block, sizeof block);
        if (n > 0) {
          buffer.append(block, static_cast<std::size_t>(n));
          continue;
        }
        if (n == 0 || inbound.SocketBinding.Woken()) {
          front.reason = "the mail program left before its first command";
          return front;
        }
        if (WaitForSocket(inbound.SocketBinding, inbound.ReceiveNeeds(), deadline, nullptr) ==
            TWaitEnd::TimedOut) {
          return refuse("421 4.4.2 No command within " + DescribeLimit(limitMs) + "; closing\r\n",
                        "the mail program sent no command within " + DescribeLimit(limitMs));
        }
        continue;
      }
      const std::string word = CommandWord(buffer);
      if (word != "EHLO" && word != "HELO" && word != "AUTH") {
        front.end = TClientFront::TEnd::Handed;
        return front;
      }
      if (++answers > kMaxFrontAnswers)
        return refuse(
            "421 4.7.0 Too many commands before MAIL; closing\r\n",
            "the mail program sent " + std::to_string(kMaxFrontAnswers) + " commands and no MAIL");
      if (word == "EHLO") {
        inbound.WriteText(EhloReplyForClient(ehloReply));
      } else if (word == "HELO") {
        const std::vector<std::string> texts = Texts(ehloReply);
        inbound.WriteText("250 " + (texts.empty() ? std::string() : texts[0]) + "\r\n");
      } else {
        inbound.WriteText("503 5.5.1 Vantelo logs in to " + serverName +
                          " for this route; turn off the mail program's login for this "
                          "server\r\n");
        // What came with the AUTH is the client's login: it goes nowhere.
        buffer.clear();
        continue;
      }
      buffer.erase(0, lf + 1);
    }
  } catch (const ENetException& e) {
    // A reset, a client that does not take its replies, a wake.
    front.end = TClientFront::TEnd::ClientEnded;
    front.reason = "the mail program's connection failed: " + ReasonOf(e);
    return front;
  }
}

}  // namespace vantelo::relay
