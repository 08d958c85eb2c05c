#include "relay/mapped_port/login.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <string_view>
#include <openssl/evp.h>
#include <sstream>

namespace vantelo::relay {
namespace {

// `data` in base64, in a secret of its own.
TSecret Base64(const std::string& data) {
  std::string out(std::max<std::size_t>(4 * ((data.size() + 2) / 3) + 1, 64), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(data.data()),
                                static_cast<int>(data.size()));
  out.resize(static_cast<std::size_t>(n));
  return TSecret(std::move(out));
}

// The parts one after the other in a secret, in one allocation, so that no
// freed buffer keeps a piece of it.
TSecret Joined(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  std::string joined;
  joined.reserve(std::max<std::size_t>(size, 64));  // on the heap, so a move leaves no copy
  for (std::string_view part : parts) joined.append(part);
  return TSecret(std::move(joined));
}

bool Code(const std::string& reply, const char* code) { return reply.compare(0, 3, code) == 0; }

// The reply with every copy of what was sent in secret left out: a server
// that quotes the line it refused must not put the password into the reason
// that reaches the log and the mail program.
std::string Scrubbed(std::string reply, std::initializer_list<const TSecret*> sent) {
  for (const TSecret* secret : sent) {
    const std::string& value = secret->Value();
    if (value.empty()) continue;
    for (std::size_t at = reply.find(value); at != std::string::npos; at = reply.find(value, at)) {
      reply.replace(at, value.size(), "(left out)");
    }
  }
  return reply;
}

// AUTH PLAIN with the initial response: one round trip.
class TPlainLogin final : public TLoginMechanism {
 public:
  const char* Name() const override { return "PLAIN"; }
  std::string LogIn(TSmtpExchange& server, const std::string& user,
                    const TSecret& secret) override {
    const std::string_view nul("\0", 1);
    TSecret response = Joined({nul, user, nul, secret.Value()});
    const TSecret encoded = Base64(response.Value());
    response.Wipe();
    const TSecret line = Joined({"AUTH PLAIN ", encoded.Value(), "\r\n"});
    return Scrubbed(server.Command(line.Value(), "AUTH PLAIN"), {&encoded, &secret});
  }
};

// AUTH LOGIN: the user and the password, each after the server's 334.
class TLoginLogin final : public TLoginMechanism {
 public:
  const char* Name() const override { return "LOGIN"; }
  std::string LogIn(TSmtpExchange& server, const std::string& user,
                    const TSecret& secret) override {
    std::string reply = server.Command("AUTH LOGIN\r\n", "AUTH LOGIN");
    if (!Code(reply, "334")) return reply;
    reply = server.Command(Base64(user).Value() + "\r\n", "the user of AUTH LOGIN");
    if (!Code(reply, "334")) return reply;
    const TSecret encoded = Base64(secret.Value());
    const TSecret line = Joined({encoded.Value(), "\r\n"});
    return Scrubbed(server.Command(line.Value(), "the password of AUTH LOGIN"),
                    {&encoded, &secret});
  }
};

// The parameters of one EHLO reply line naming `keyword` ("AUTH PLAIN
// LOGIN" gives "PLAIN LOGIN"), or false when the line names another.
bool ExtensionLine(std::string_view line, const std::string& keyword, std::string& parameters) {
  if (line.size() < 4) return false;
  line.remove_prefix(4);  // "250-" or "250 "
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.size() < keyword.size()) return false;
  for (std::size_t k = 0; k < keyword.size(); ++k) {
    if (std::toupper(static_cast<unsigned char>(line[k])) != keyword[k]) return false;
  }
  if (line.size() > keyword.size() && line[keyword.size()] != ' ' && line[keyword.size()] != '=')
    return false;
  parameters = std::string(line.substr(std::min(line.size(), keyword.size() + 1)));
  return true;
}

template <class F>
void ForEachExtensionLine(const std::string& reply, F f) {
  std::size_t start = reply.find('\n');  // the first line is the server's name
  while (start != std::string::npos && start + 1 < reply.size()) {
    ++start;
    std::size_t end = reply.find('\n', start);
    f(std::string_view(reply).substr(start, end == std::string::npos ? end : end - start));
    start = end;
  }
}

}  // namespace

bool OffersExtension(const std::string& ehloReply, const std::string& keyword) {
  bool found = false;
  std::string ignored;
  ForEachExtensionLine(ehloReply, [&](std::string_view line) {
    found = found || ExtensionLine(line, keyword, ignored);
  });
  return found;
}

std::unique_ptr<TLoginMechanism> ChooseLoginMechanism(const std::string& ehloReply,
                                                      std::string& offered) {
  offered.clear();
  bool plain = false, login = false, any = false;
  ForEachExtensionLine(ehloReply, [&](std::string_view line) {
    std::string parameters;
    if (!ExtensionLine(line, "AUTH", parameters)) return;
    any = true;
    if (!offered.empty()) offered += ' ';
    offered += parameters;
    std::istringstream words(parameters);
    for (std::string word; words >> word;) {
      for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      plain = plain || word == "PLAIN";
      login = login || word == "LOGIN";
    }
  });
  if (!any) offered.clear();
  if (plain) return std::make_unique<TPlainLogin>();
  if (login) return std::make_unique<TLoginLogin>();
  return nullptr;
}

std::string StorePasswordCommand(const TLoginAccount& account) {
  // Quoted for a shell where a word needs it.
  auto word = [](const std::string& text) {
    for (unsigned char c : text) {
      if (!std::isalnum(c) && c != '@' && c != '.' && c != '-' && c != '_' && c != ':')
        return "'" + text + "'";  // texts with a quote of their own are left out below
    }
    return text;
  };
  std::string host = account.host;
  std::string label = "Vantelo: " + account.user + "@" + account.host;
  std::string quotedLabel;
  for (char c : label) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') quotedLabel += '\\';
    quotedLabel += c;
  }
  std::string user = account.user;
  if (user.find('\'') != std::string::npos || host.find('\'') != std::string::npos) {
    // Rare enough to say it plainly rather than quote it.
    return "secret-tool store --label=\"" + quotedLabel + "\" host HOST service smtp user USER";
  }
  return "secret-tool store --label=\"" + quotedLabel + "\" host " + word(host) +
         " service smtp user " + word(user);
}

}  // namespace vantelo::relay
