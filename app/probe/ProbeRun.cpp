#include "app/probe/ProbeRun.h"

#include <algorithm>
#include <optional>

#include "app/CliSecrets.h"
#include "app/SpeedRun.h"
#include "core/Application.h"
#include "core/SysUtils.h"
#include "http/HttpException.h"
#include "http/HttpProt.h"

namespace probe {

namespace {

using Clock = std::chrono::steady_clock;

// The deadline of the probe the thread runs and its server's stop; none on
// other threads.
thread_local std::optional<Clock::time_point> tDeadline;
thread_local const std::atomic<bool>* tStopping = nullptr;

class TProbeApplication : public core::IApplication {
 public:
  void ProcessMessages() override { FBase.ProcessMessages(); }
  bool WaitMessage(uint32_t timeoutMs) override {
    if (tDeadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*tDeadline - Clock::now()).count();
      timeoutMs = static_cast<uint32_t>(std::clamp<int64_t>(left, 0, timeoutMs));
    }
    return FBase.WaitMessage(timeoutMs);
  }
  bool Terminated() const override {
    if (tDeadline && Clock::now() >= *tDeadline) return true;
    return (tStopping && tStopping->load()) || FBase.Terminated();
  }
  void Terminate() override { FBase.Terminate(); }

 private:
  core::TConsoleApplication FBase;
};

struct TDeadlineGuard {
  TDeadlineGuard(double seconds, const std::atomic<bool>* stopping)
      : at(Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))) {
    tDeadline = at;
    tStopping = stopping;
  }
  ~TDeadlineGuard() {
    tDeadline.reset();
    tStopping = nullptr;
  }
  bool Passed() const { return Clock::now() >= at; }
  Clock::time_point at;
};

// What the run reports to: the figures of every load started, none of its page.
class TProbeView : public app::ISpeedTestView {
 public:
  explicit TProbeView(const TProbeRequest& r) : FRequest(r) {}
  std::string UrlText() override { return FRequest.target; }
  // One load per run: the probe runs its loads itself (RunLoads).
  std::string LoadsText() override { return "1"; }
  void ClearResults() override {}
  bool LoadsConfirmed() override { return true; }
  void AskForConfirmation(const std::string&) override {}
  void SetCaption(const std::string&) override {}
  void SetTestEnabled(bool) override {}
  void AppendPage(const char*, int64_t) override {}
  int64_t PageCharCount() override { return 0; }
  bool CountsCharactersOnly() override { return true; }
  void ShowTotals(const std::string&, const std::string&, const std::string&) override {}
  void AppendHistory(const std::vector<std::string>&) override {}
  std::string ShortDateToday() override { return {}; }
  char DecimalSeparator() override { return '.'; }
  void PrepareLoad(http::THttpCli& client) override {
    if (!FRequest.module.proxyHost.empty()) {
      client.SetProxy(FRequest.module.proxyHost);
      client.SetProxyPort(FRequest.module.proxyPort);
    }
    FClient = &client;
    ++FStarted;
  }
  void CheckLoad(http::THttpCli& client) override {
    if (!FRequest.module.ValidStatus(client.StatusCode())) FBadStatus = client.StatusCode();
  }
  void LoadMeasured(const http::TLoadTimes& times) override {
    const auto& valid = FRequest.module.validProtocols;
    if (!valid.empty() && std::find(valid.begin(), valid.end(), times.protocol) == valid.end())
      FBadProtocol = times.protocol;
    loads.push_back(times);
    tlsResumed.push_back(!times.reused && times.Phase(http::TLoadPhase::tls) > 0 && FClient->Socket() &&
                         FClient->Socket()->SslResumed());
  }
  // After every load, also one that failed: that one keeps its figures as far
  // as it got.
  void LoadTimed(int, uint32_t) override {
    if (loads.size() < FStarted && FClient) {
      loads.push_back(FClient->Timeline().Times());
      loads.back().status = FClient->StatusCode();
      tlsResumed.push_back(false);
    }
    if (FStarted == 1 && FClient) {
      contentLength = FClient->ContentLength();
      ssl = core::LowerCase(FClient->URL().substr(0, 8)) == "https://";
      if (ssl && FClient->Socket()) certExpiry = FClient->Socket()->SslPeerCertExpiry();
    }
  }
  int BadStatus() const { return FBadStatus; }
  const std::string& BadProtocol() const { return FBadProtocol; }

  std::vector<http::TLoadTimes> loads;
  std::vector<bool> tlsResumed;
  int64_t contentLength = -1;
  int64_t certExpiry = 0;
  bool ssl = false;

 private:
  const TProbeRequest& FRequest;
  http::THttpCli* FClient = nullptr;
  size_t FStarted = 0;
  int FBadStatus = 0;
  std::string FBadProtocol;  // a load spoke a version the module does not accept
};

// The probe's loads, one run of the speed test each. A load whose status the
// client raises for (400 and up) but the module counts as valid is a completed
// load like the others: its figures are kept and the next load follows.
void RunLoads(http::THttpCli& client, TProbeView& view, const TProbeRequest& request) {
  for (int i = 0; i < request.loads; ++i) {
    try {
      app::RunSpeedTest(client, view);
    } catch (const http::EHttpException&) {
      const bool answered = client.Timeline().Current() >= http::TLoadPhase::wait;
      if (!answered || !request.module.ValidStatus(client.StatusCode())) throw;
    }
  }
}

// Where a load that raised stopped, as a word for the failure's label.
std::string ReasonOf(http::THttpCli& client) {
  if (client.StatusCode() >= 400 && client.Timeline().Current() >= http::TLoadPhase::wait) return "status";
  switch (client.Timeline().Current()) {
    case http::TLoadPhase::dns:
      return "resolve";
    case http::TLoadPhase::connect:
      return "connect";
    case http::TLoadPhase::socks:
      return "socks";
    case http::TLoadPhase::tls:
      return "tls";
    default:
      return "http";
  }
}

}  // namespace

void InstallProbeApplication() {
  // Never destroyed: worker threads may still ask it while the program ends.
  static auto* application = new TProbeApplication;
  core::SetApplication(application);
}

TProbeOutcome RunProbe(const TProbeRequest& request, const std::atomic<bool>* stopping) {
  TProbeOutcome o;
  o.loadsRequested = request.loads;
  o.timeoutSeconds = request.timeoutSeconds;
  const Clock::time_point start = Clock::now();
  TDeadlineGuard deadline(request.timeoutSeconds, stopping);
  std::string socksFailure;  // outlives the client, whose SOCKS error event writes it
  auto client = core::MakeComponent<http::THttpCli>(nullptr);
  ApplyModule(*client, request.module, socksFailure);
  TProbeView view(request);
  try {
    RunLoads(*client, view, request);
    if (view.BadStatus() != 0) {
      o.failureReason = "status";
      o.failureMessage = "status " + std::to_string(view.BadStatus()) + " is not a valid status";
    } else if (!view.BadProtocol().empty()) {
      o.failureReason = "http_version";
      o.failureMessage = view.BadProtocol() + " is not a valid HTTP version";
    }
  } catch (const std::exception& e) {
    o.failureReason = deadline.Passed() ? "timeout" : !socksFailure.empty() ? "socks" : ReasonOf(*client);
    o.failureMessage = socksFailure.empty() ? core::ExceptionMessage(e) : socksFailure;
    if (o.failureReason == "timeout") o.failureMessage = "timed out (" + o.failureMessage + ")";
  }
  // The answer is stored and shown on dashboards: no password of the target's URL in it.
  o.failureMessage = app::MaskUrlPasswords(o.failureMessage);
  o.run = app::TUrlLoads(app::MaskUrlPasswords(request.target), view.loads,
                         o.failureReason.empty() ? "" : o.failureMessage, view.tlsResumed);
  // A bad status or version ends no load early: every load is in the statistics.
  if (view.BadStatus() != 0 || !view.BadProtocol().empty()) o.run.error.clear();
  o.success = o.failureReason.empty();
  o.contentLength = view.contentLength;
  o.ssl = view.ssl;
  o.certExpiry = view.certExpiry;
  o.durationSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  return o;
}

}  // namespace probe
