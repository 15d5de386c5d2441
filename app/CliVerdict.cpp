#include "app/CliVerdict.h"

#include "app/CliUrl.h"
#include "http/HttpProt.h"
#include "net/SocketErrorText.h"

namespace app {

namespace {

std::string LocationField(const core::TStringList& header) {
  static const std::string kName = "location:";
  for (int i = 0; i < header.Count(); ++i) {
    const std::string& line = header[i];
    if (line.size() >= kName.size() && core::LowerCase(line.substr(0, kName.size())) == kName)
      return core::Trim(line.substr(kName.size()));
  }
  return {};
}

// "scheme://[user@]host[:port]/..." -> host and port (the scheme's when none).
std::pair<std::string, std::string> HostAndPort(const std::string& url) {
  const size_t sep = url.find("://");
  if (sep == std::string::npos) return {};
  const bool https = core::LowerCase(url.substr(0, sep)) == "https";
  std::string authority = url.substr(sep + 3, url.find_first_of("/?#", sep + 3) - sep - 3);
  authority = authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
  const size_t close = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close))
    return {authority.substr(0, colon), authority.substr(colon + 1)};
  return {authority, https ? "443" : "80"};
}

// The origin (scheme, host, port) of a URL, in lower case.
std::string Origin(const std::string& url) {
  const auto [host, port] = HostAndPort(url);
  return core::LowerCase(url.substr(0, url.find("://")) + "://" + host + ":" + port);
}

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TCliVerdict::TCliVerdict(http::THttpCli& client, int maxRedirects) : FClient(client), FLimit(maxRedirects) {
  FClient.SetLocationChangeMaxCount(0);
  FClient.OnLocationChangeExceeded = [this](core::TComponent*, int, bool& allowMore) {
    allowMore = FHops < FLimit;
    FCut = !allowMore;
  };
  FClient.OnLocationChange = [this](core::TComponent*) {
    ++FHops;
    FUrl = LocationTarget(FUrl, FLocation);
  };
  // The status line as the server sent it: a failure the client makes up itself
  // (a refused connection, a broken frame) replaces it.
  FClient.OnHeaderEnd = [this](core::TComponent*) {
    FServerCode = FClient.StatusCode();
    FServerReason = FClient.ReasonPhrase();
    FLocation = LocationField(FClient.RcvdHeader());
  };
}

void TCliVerdict::StartLoad(const std::string& url) {
  FHops = 0;
  FCut = false;
  FUrl = url;
  FStartOrigin = Origin(url);
  FLocation.clear();
  FServerCode = 0;
  FServerReason.clear();
}

bool TCliVerdict::ServerStatus() const {
  return FServerCode != 0 && FClient.StatusCode() == FServerCode && FClient.ReasonPhrase() == FServerReason;
}

std::string TCliVerdict::StatusText() const {
  const int status = FClient.StatusCode();
  std::string login;
  // The client keeps the server's credentials from another origin that a
  // redirection leads to: there they were not refused, they were not sent.
  const bool serverLogin = FServerLogin && Origin(FUrl) == FStartOrigin;
  if (status == 401 || status == 407)
    login = (status == 401 ? serverLogin : FProxyLogin) ? "login refused: " : "login required: ";
  return login + std::to_string(FClient.StatusCode()) + " " + FClient.ReasonPhrase() + " (" + FUrl + ")";
}

void TCliVerdict::Check() const {
  if (FCut) throw ELoadFailed("Too many redirections (" + std::to_string(FLimit) + "): " + StatusText());
  if (ServerStatus() && FClient.StatusCode() >= 400) throw ELoadFailed(StatusText());
}

std::string TCliVerdict::Explain(const std::exception& e) const {
  if (dynamic_cast<const ELoadFailed*>(&e) == nullptr && ServerStatus() && FClient.StatusCode() >= 400)
    return StatusText();
  std::string message = core::ExceptionMessage(e);
  if (dynamic_cast<const ELoadFailed*>(&e) != nullptr) return message;
  // The client's own failures name no place: say which host (and which port)
  // the program tried, and for a refused certificate how to go on.
  auto [host, port] = HostAndPort(FUrl);
  std::string what;  // what the host is, when it is not the page's
  if (!FClient.Proxy().empty()) {
    host = FClient.Proxy(), port = FClient.ProxyPort(), what = "proxy ";
  } else if (!FClient.SocksServer().empty()) {
    host = FClient.SocksServer(), port = FClient.SocksPort(), what = "SOCKS server ";
  }
  // At SOCKS level 4 the page's host is resolved here, not by the server. The
  // error code tells a failed lookup: a server's reason phrase can say anything.
  if (net::IsLookupError(FClient.RequestDoneError()))
    return FClient.Proxy().empty() && FClient.SocksLevel() == "4" ? HostAndPort(FUrl).first + ": " + message
                                                                  : what + host + ": " + message;
  if (Contains(message, "certificate verify failed"))
    return HostAndPort(FUrl).first + ": " + message +
           " (--cacert FILE trusts the CA that signed it; -k accepts any certificate)";
  if (Contains(message, "(Error #")) return what + host + ":" + port + ": " + message;
  return message;
}

}  // namespace app
