// Reading addresses and ports as text: digit runs and the dotted-address test.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/WinSock.h"

namespace net {

bool IsDigitChar(char ch);
// The decimal number after any leading blanks, up to the first non-digit; 0 when
// there is none. Wraps modulo 2^32 instead of overflowing.
uint32_t ParseDigits(std::string_view text);
// Four dot-separated decimal parts of at most 255, blanks allowed around.
bool IsDottedAddress(std::string_view text);

// "[::1]" and "::1" both name ::1; anything else is returned as it is.
std::string WithoutBrackets(std::string_view host);
// An IPv6 address, with or without the brackets of a URL. A zone id ("fe80::1%eth0")
// is not an address here: nothing above the socket could carry it.
bool ParseIPv6(std::string_view text, in6_addr& out);
bool IsIPv6Literal(std::string_view text);
// The compressed text of an address ("2001:db8::1"), without brackets.
std::string IPv6Text(const in6_addr& addr);
// The text of a socket address of either family: "10.0.0.1" or "2001:db8::1".
std::string SockaddrText(const sockaddr_storage& addr);
uint16_t SockaddrPort(const sockaddr_storage& addr);
// host:port, with brackets around an IPv6 address ("[::1]:80").
std::string HostPortText(std::string_view host, uint32_t port);

}  // namespace net
