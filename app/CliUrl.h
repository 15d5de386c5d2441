// The command line's rules for the URL and the proxy it is given: what is bad
// usage (exit 2) rather than a failed load.
#pragma once

#include <string>

namespace app {

// The URL as it is requested ("http://" added when it has no scheme). Raises
// ECliUsage for a control byte, a scheme other than http, a missing host, a space before the path, or a port
// that is not a number from 1 to 65535. A space in the path or query is sent as %20.
std::string CheckedUrl(const std::string& url);

// The host of a URL CheckedUrl accepted (brackets of an IPv6 address kept).
std::string UrlHost(const std::string& url);

// The URL a redirection's location leads to from base, for messages: resolved as
// the client resolves it (scheme in lower case, dot segments removed, no
// fragment, "/" for an empty path).
std::string LocationTarget(const std::string& base, const std::string& location);

struct TProxyAddress {
  std::string host;
  std::string port = "80";
};

// "HOST[:PORT]", also written "http://HOST[:PORT][/]" as http_proxy usually is.
// Raises ECliUsage for anything else.
TProxyAddress ParseProxy(const std::string& value);

// True when host is in list, a comma-separated no_proxy list: "*" names every
// host, "example.org" and ".example.org" name the domain and its subdomains.
bool BypassesProxy(const std::string& host, const std::string& list);

}  // namespace app
