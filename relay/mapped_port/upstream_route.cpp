#include "relay/mapped_port/upstream_route.h"

#include <cctype>
#include <string_view>

#include "relay/socket/socket_stack.h"

namespace vantelo::relay {
namespace {

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// The length of a leading "word://" (a URL scheme), else 0.
std::size_t SchemeLength(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '+' ||
                             text[i] == '-' || text[i] == '.')) {
    ++i;
  }
  return i > 0 && std::isalpha(static_cast<unsigned char>(text[0])) && text.substr(i, 3) == "://"
             ? i + 3
             : 0;
}

// What is wrong with HOST after a scheme; empty when nothing is.
std::string HostError(const std::string& host, const std::string& scheme) {
  if (host.empty()) return "no server name after " + scheme;
  if (host.front() == '[') {
    return host.back() == ']' && TSocketStack::IsIPv6Address(host)
               ? std::string()
               : "the server text " + scheme + host + " has no IPv6 address in its brackets";
  }
  if (TSocketStack::IsIPv6Address(host)) {
    return "an IPv6 address needs brackets: " + scheme + "[" + host + "]";
  }
  for (unsigned char c : host) {
    if (c == ':')
      return "the server text " + scheme + host + " names a port: the port has its own field";
    if (c <= ' ' || c == 0x7f || c == '/' || c == '@' || c == '?' || c == '#' || c == '[' ||
        c == ']') {
      return "the server text " + scheme + host + " is not a server name";
    }
  }
  return {};
}

// Where the user part of a text starts: after its scheme, if any.
std::size_t UserStart(const std::string& text) { return SchemeLength(text); }

// USER with every %XX decoded; false when a % is not followed by two hex
// digits.
bool DecodeUser(std::string_view text, std::string& user) {
  user.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      user += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      return false;
    }
    user += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
    i += 2;
  }
  return true;
}

// What is wrong with a decoded user; empty when nothing is.
std::string UserError(const std::string& user) {
  if (user.empty()) return "no user before the @ in the server text";
  for (unsigned char c : user) {
    if (c < ' ' || c == 0x7f) return "the user in the server text holds a control character";
  }
  return {};
}

// The text with a password in it left out.
std::string Shown(const std::string& text) {
  const std::size_t at = text.rfind('@');
  if (at == std::string::npos) return text;
  const std::size_t colon = text.find(':', UserStart(text));
  if (colon == std::string::npos || colon > at) return text;
  return text.substr(0, colon) + ":(password left out)" + text.substr(at);
}

}  // namespace

TUpstreamRoute ParseServerText(const std::string& text) {
  TUpstreamRoute route;
  route.shown = Shown(text);
  std::string scheme;
  if (StartsWithIgnoringCase(text, "smtps://")) {
    route.security = TUpstreamSecurity::ImplicitTls;
    scheme = "smtps://";
  } else if (StartsWithIgnoringCase(text, "starttls://")) {
    route.security = TUpstreamSecurity::StartTls;
    scheme = "starttls://";
  } else {
    route.host = text;
    route.serverName = text;
    if (std::size_t n = SchemeLength(text)) {
      route.error = "unknown scheme " + text.substr(0, n) + " (smtps:// or starttls://)";
      // Nothing is connected to; the replies name the text, without a
      // password it may hold.
      route.host = route.serverName = route.shown;
      return route;
    }
    if (const std::size_t at = text.rfind('@'); at != std::string::npos) {
      route.host = route.serverName = text.substr(at + 1);
      route.loginError = true;
      route.error = text.find(':') < at
                        ? "the server text holds a password: keep it in the keyring instead "
                          "(a route file is readable by every program you run)"
                        : "a user is only ever sent inside TLS: the server text needs "
                          "smtps:// or starttls://";
    }
    return route;
  }
  route.host = text.substr(scheme.size());
  if (const std::size_t at = route.host.rfind('@'); at != std::string::npos) {
    const std::string userPart = route.host.substr(0, at);
    route.host.erase(0, at + 1);
    route.loginError = true;
    if (userPart.find(':') != std::string::npos) {
      route.error =
          "the server text holds a password: keep it in the keyring instead (a route file is "
          "readable by every program you run)";
    } else if (!DecodeUser(userPart, route.user)) {
      route.error =
          "the user in the server text has a % without two hex digits (write %25 "
          "for a %)";
    } else {
      route.error = UserError(route.user);
    }
    if (!route.error.empty()) route.user.clear();
    route.loginError = !route.error.empty();
  }
  if (route.error.empty()) route.error = HostError(route.host, scheme);
  route.serverName = route.host.size() >= 2 && route.host.front() == '['
                         ? route.host.substr(1, route.host.size() - 2)
                         : route.host;
  return route;
}

}  // namespace vantelo::relay
