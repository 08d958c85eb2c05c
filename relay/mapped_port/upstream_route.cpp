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

}  // namespace

TUpstreamRoute ParseServerText(const std::string& text) {
  TUpstreamRoute route;
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
    }
    return route;
  }
  route.host = text.substr(scheme.size());
  route.error = HostError(route.host, scheme);
  route.serverName = route.host.size() >= 2 && route.host.front() == '['
                         ? route.host.substr(1, route.host.size() - 2)
                         : route.host;
  return route;
}

}  // namespace vantelo::relay
