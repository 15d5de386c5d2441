#include "app/CliVerdict.h"

#include "app/CliUrl.h"
#include "http/HttpProt.h"

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
  if (status == 401 || status == 407)
    login = (status == 401 ? FServerLogin : FProxyLogin) ? "login refused: " : "login required: ";
  return login + std::to_string(FClient.StatusCode()) + " " + FClient.ReasonPhrase() + " (" + FUrl + ")";
}

void TCliVerdict::Check() const {
  if (FCut) throw ELoadFailed("Too many redirections (" + std::to_string(FLimit) + "): " + StatusText());
  if (ServerStatus() && FClient.StatusCode() >= 400) throw ELoadFailed(StatusText());
}

std::string TCliVerdict::Explain(const std::exception& e) const {
  if (dynamic_cast<const ELoadFailed*>(&e) == nullptr && ServerStatus() && FClient.StatusCode() >= 400)
    return StatusText();
  return core::ExceptionMessage(e);
}

}  // namespace app
