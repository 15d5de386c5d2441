// Address text: digit runs, ports and dotted addresses as the user writes them.
#include "net/AddressText.h"

#include "net/SocketApi.h"

namespace net {
namespace {

bool IsBlank(char ch) {
  return ch == ' ';
}

size_t SkipBlanks(std::string_view text, size_t i) {
  while (i < text.size() && IsBlank(text[i])) ++i;
  return i;
}

uint32_t DigitValue(char ch) {
  return static_cast<uint32_t>(ch - '0');
}

}  // namespace

bool IsDigitChar(char ch) {
  return ch >= '0' && ch <= '9';
}

uint32_t ParseDigits(std::string_view text) {
  uint32_t value = 0;  // unsigned, so a long digit run wraps instead of overflowing
  for (size_t i = SkipBlanks(text, 0); i < text.size() && IsDigitChar(text[i]); ++i)
    value = value * 10u + DigitValue(text[i]);
  return value;
}

bool IsDottedAddress(std::string_view text) {
  size_t i = SkipBlanks(text, 0);
  if (i < text.size() && text[i] == '.') return false;
  int dots = 0;
  uint32_t part = 0;
  for (; i < text.size(); ++i) {
    char ch = text[i];
    if (ch == '.') {
      ++dots;
      if (dots > 3 || part > 255 || i + 1 >= text.size() || !IsDigitChar(text[i + 1])) return false;
      part = 0;
    } else if (IsDigitChar(ch)) {
      // Once a part is known to be too large it stops growing, so it cannot wrap.
      if (part <= 255) part = part * 10 + DigitValue(ch);
    } else {
      if (SkipBlanks(text, i) != text.size()) return false;
      break;
    }
  }
  return dots == 3 && part <= 255;
}

std::string WithoutBrackets(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return std::string(host);
}

bool ParseIPv6(std::string_view text, in6_addr& out) {
  const std::string bare = WithoutBrackets(text);
  if (bare.find(':') == std::string::npos) return false;
  return api::inet_pton(AF_INET6, bare.c_str(), &out) == 1;
}

bool IsIPv6Literal(std::string_view text) {
  in6_addr ignored{};
  return ParseIPv6(text, ignored);
}

std::string IPv6Text(const in6_addr& addr) {
  char text[INET6_ADDRSTRLEN] = {};
  const char* r = api::inet_ntop(AF_INET6, &addr, text, sizeof text);
  return r != nullptr ? std::string(r) : std::string();
}

std::string SockaddrText(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET6) return IPv6Text(reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr);
  return WSocket_inet_ntoa(reinterpret_cast<const sockaddr_in&>(addr).sin_addr);
}

uint16_t SockaddrPort(const sockaddr_storage& addr) {
  const uint16_t port = addr.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(addr).sin6_port
                                                   : reinterpret_cast<const sockaddr_in&>(addr).sin_port;
  return api::NetToHostShort(port);
}

std::string HostPortText(std::string_view host, uint32_t port) {
  const std::string bare = WithoutBrackets(host);
  const bool v6 = bare.find(':') != std::string::npos;
  return (v6 ? "[" + bare + "]" : bare) + ":" + std::to_string(port);
}

}  // namespace net
