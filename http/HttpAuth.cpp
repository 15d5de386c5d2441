// THttpCli: answering 401 (server) and 407 (proxy) challenges with NTLM or Basic
// credentials. Four small state machines, NTLM and Basic for the server and for
// the proxy, move at the end of every request; when one of them has a next step,
// the request is repeated (on the same connection when it is still open) with the
// matching "Authorization" or "Proxy-Authorization" line, and it is reported done
// only when the handshake has succeeded or failed. NTLM is preferred to Basic.
//
// The states are named in HttpProt.h (kNtlm*, kBasic*): idle, the next request
// carries a message or the credentials, done.
//
// No preset scheme is offered, so every request starts idle and pays the
// whole handshake, and httpoNoBasicAuth / httpoNoNTLMAuth (which only suppress the
// step for a preset scheme) change nothing.
#include <chrono>
#include <cstdio>

#include <openssl/rand.h>

#include "http/HttpProt.h"
#include "http/HttpUtils.h"
#include "http/MimeUtils.h"
#include "http/NtlmMsgs.h"
#include "net/SocketApi.h"

namespace http {

namespace {

constexpr uint16_t kAuthStateError = 6;
// The Base64 text of a challenge message is taken up to this length.
constexpr size_t kMaxChallengeText = 1000;

// The last challenge whose scheme name matches, or -1.
int LastChallenge(const core::TStringList& challenges, std::string_view scheme) {
  for (int i = challenges.Count() - 1; i >= 0; --i) {
    if (ChallengeIs(challenges[i], scheme)) return i;
  }
  return -1;
}

// The workstation named in message 3; a host without a name sends none.
std::string Workstation() {
  try {
    return net::LocalHostName();
  } catch (const std::exception&) {
    return {};
  }
}

std::string BasicLine(const std::string& field, const std::string& user, const std::string& password) {
  return field + "Basic " + EncodeBase64(user + ":" + password);
}

}  // namespace

// --- the end of a request ---

// Returns true when authentication takes over the end of the request: a new
// attempt follows, or a step has reported the request done itself.
bool THttpCli::AuthenticationFollows() {
  UpdateAuthStates();
  bool doNext = false;
  if (!PrepareNTLMAuth(doNext) && !PrepareBasicAuth(doNext)) return false;
  if (FStatusCode == 401) RestartProxyAuth();
  if (doNext) PrepareRepeat();
  return true;
}

// What the response says about the handshakes in progress: an accepted message 3
// or credentials completes them, a challenge after completion starts them over.
THttpCli::TAuthStates THttpCli::UpdatedAuthStates() const {
  const bool challenged = FStatusCode == 401 || FStatusCode == 407;
  TAuthStates s{FAuthNTLMState, FProxyAuthNTLMState, FAuthBasicState, FProxyAuthBasicState};
  if (s.Ntlm == kNtlmSendMessage3 && !challenged) s.Ntlm = kNtlmDone;
  if (s.Ntlm == kNtlmDone && FStatusCode == 401) s.Ntlm = kNtlmIdle;
  if (s.ProxyNtlm == kNtlmSendMessage3 && FStatusCode != 407) s.ProxyNtlm = kNtlmDone;
  if (s.ProxyNtlm == kNtlmDone && FStatusCode == 407) s.ProxyNtlm = kNtlmIdle;
  if (s.Basic == kBasicSendCredentials && !challenged) s.Basic = kBasicDone;
  if (s.Basic == kBasicDone && FStatusCode == 401) s.Basic = kBasicIdle;
  if (s.ProxyBasic == kBasicSendCredentials && FStatusCode != 407) s.ProxyBasic = kBasicDone;
  if (s.ProxyBasic == kBasicDone && FStatusCode == 407) s.ProxyBasic = kBasicIdle;
  return s;
}

void THttpCli::UpdateAuthStates() {
  const TAuthStates s = UpdatedAuthStates();
  FAuthNTLMState = s.Ntlm;
  FProxyAuthNTLMState = s.ProxyNtlm;
  FAuthBasicState = s.Basic;
  FProxyAuthBasicState = s.ProxyBasic;
}

// True when the NTLM step (PrepareNTLMAuth) takes this response, with the states
// as the end of the request leaves them.
bool THttpCli::NTLMStepApplies(const TAuthStates& States) const {
  if (FAuthChallenges.Count() == 0 || LastChallenge(FAuthChallenges, "NTLM") < 0) return false;
  if (FStatusCode == 401)
    return States.Basic == kBasicIdle && !FCurrUsername.empty() && !FCurrPassword.empty();
  // Without a proxy of our own, a 407 is not ours to answer.
  return FStatusCode == 407 && !FProxy.empty() && States.ProxyBasic == kBasicIdle &&
         !FProxyUsername.empty() && !FProxyPassword.empty();
}

bool THttpCli::BasicStepApplies(const TAuthStates& States) const {
  if (FAuthChallenges.Count() == 0 || LastChallenge(FAuthChallenges, "Basic") < 0) return false;
  if (FStatusCode == 401) return States.Ntlm == kNtlmIdle && !FCurrUsername.empty() && !FCurrPassword.empty();
  return FStatusCode == 407 && !FProxy.empty() && States.ProxyNtlm == kNtlmIdle && !FProxyUsername.empty() &&
         !FProxyPassword.empty();
}

// Known at the end of the header: the end of the request will answer this
// challenge with another attempt (not end the request with it).
bool THttpCli::ChallengeAnswered() const {
  const TAuthStates s = UpdatedAuthStates();
  const bool server = FStatusCode == 401;
  if (NTLMStepApplies(s)) {
    if (!NtlmMessage3Fits("", Workstation(), server ? FCurrUsername : FProxyUsername)) return false;
    const int state = server ? s.Ntlm : s.ProxyNtlm;
    return state == kNtlmIdle || (state == kNtlmSendMessage1 && !FCloseReq);
  }
  return BasicStepApplies(s) && (server ? s.Basic : s.ProxyBasic) == kBasicIdle;
}

// Each comma-separated challenge of a field counts as a field of its own.
void THttpCli::AddChallenges(const std::string& Value) {
  for (const std::string& challenge : SplitChallenges(Value)) FAuthChallenges.Add(challenge);
}

// Called as a request goes out. A finished NTLM exchange holds only on the
// connection it was made on, and message 3 answers a challenge only there: on
// another connection a finished exchange starts again from message 1 when
// challenged, and one waiting for message 3 sends message 1 instead.
void THttpCli::BindNTLMToConnection() {
  auto bind = [this](int& state, uint64_t& connection) {
    if (connection != FConnectionSerial) {
      if (state == kNtlmDone) state = kNtlmIdle;
      if (state == kNtlmSendMessage3) state = kNtlmSendMessage1;
    }
    if (state == kNtlmSendMessage1) connection = FConnectionSerial;
  };
  bind(FAuthNTLMState, FNTLMConnection);
  bind(FProxyAuthNTLMState, FProxyNTLMConnection);
}

// A 401 passed the proxy. On a connection that closes, the next one must
// authenticate to the proxy again; on a kept one, a proxy handshake that did not
// complete is dropped.
void THttpCli::RestartProxyAuth() {
  if (FCloseReq) {
    if (FProxyAuthNTLMState == kNtlmDone) {
      FProxyAuthNTLMState = kNtlmSendMessage1;
    } else if (FProxyAuthBasicState == kBasicDone) {
      FProxyAuthBasicState = kBasicSendCredentials;
    }
  } else if (FProxyAuthNTLMState < kNtlmDone) {
    FProxyAuthNTLMState = kNtlmIdle;
  } else if (FProxyAuthBasicState < kBasicDone) {
    FProxyAuthBasicState = kBasicIdle;
  }
}

// The repeated request starts clean: the challenge's body is dropped and the
// upload goes again from where it began. The document is still the same one.
void THttpCli::PrepareRepeat() {
  FTimeline.Fold(TLoadPhase::auth);
  RewindStreams();
  ClearReceiveBuffer();
  const std::string docName = FDocName;
  const std::string location = FLocation;
  ResetRequestState();
  FDocName = docName;
  FLocation = location;
}

void THttpCli::TraceNTLMStates() {
  if (!CheckLogOptions(core::loProtSpecDump)) return;
  char line[128];
  std::snprintf(line, sizeof(line),
                "PrepareNTLMAuth end, FStatusCode = %d FProxyAuthNTLMState=%d FAuthNTLMState=%d", FStatusCode,
                FProxyAuthNTLMState, FAuthNTLMState);
  DebugLog(core::loProtSpecDump, line);
}

// True when the NTLM handshake cannot carry these credentials (a name beyond a
// message field's 16-bit length): the request then ends with its challenge.
bool THttpCli::RefuseOversizedNTLM(const std::string& User) {
  if (NtlmMessage3Fits("", Workstation(), User)) return false;
  FAuthChallenges.Clear();
  TriggerRequestDone();
  return true;
}

bool THttpCli::PrepareNTLMAuth(bool& DoNext) {
  TraceNTLMStates();
  const TAuthStates states{FAuthNTLMState, FProxyAuthNTLMState, FAuthBasicState, FProxyAuthBasicState};
  const bool result = NTLMStepApplies(states);
  if (result && FStatusCode == 401) {
    if (!RefuseOversizedNTLM(FCurrUsername)) {
      StartAuthNTLM();
      DoNext = FAuthNTLMState == kNtlmSendMessage1 || FAuthNTLMState == kNtlmSendMessage3;
    }
  } else if (result && !RefuseOversizedNTLM(FProxyUsername)) {
    StartProxyAuthNTLM();
    DoNext = FProxyAuthNTLMState == kNtlmSendMessage1 || FProxyAuthNTLMState == kNtlmSendMessage3;
  }
  TraceNTLMStates();
  return result;
}

bool THttpCli::PrepareBasicAuth(bool& DoNext) {
  const TAuthStates states{FAuthNTLMState, FProxyAuthNTLMState, FAuthBasicState, FProxyAuthBasicState};
  if (!BasicStepApplies(states)) return false;
  if (FStatusCode == 401) {
    StartAuthBasic();
    DoNext = FAuthBasicState == kBasicSendCredentials;
  } else {
    StartProxyAuthBasic();
    DoNext = FProxyAuthBasicState == kBasicSendCredentials;
  }
  return true;
}

// --- the steps ---

// The challenge text of the last NTLM challenge: the Base64 after "NTLM ".
TNTLM_Msg2_Info THttpCli::LastNTLMChallenge() const {
  const int i = LastChallenge(FAuthChallenges, "NTLM");
  return ParseNtlmMessage2(i < 0 ? std::string()
                                 : ChallengeData(FAuthChallenges[i], "NTLM", kMaxChallengeText));
}

// NTLM authenticates the connection, so messages 1 and 3 must share one: an
// HTTP/1.0 exchange asks for it to be kept.
bool THttpCli::KeepAliveNeeded() const {
  return WireVer() == "1.0" || FServerVersion == "1.0" || FServerVersion.empty();
}

void THttpCli::StartAuthNTLM() {
  switch (FAuthNTLMState) {
    case kNtlmIdle:
      if (CheckLogOptions(core::loProtSpecInfo))
        DebugLog(core::loProtSpecInfo, "Starting NTLM authentication");
      FAuthNTLMState = kNtlmSendMessage1;
      FAuthBasicState = kBasicIdle;
      if (KeepAliveNeeded()) FCurrConnection = "Keep-alive";
      PostLogin();
      break;
    case kNtlmSendMessage1:
      // Message 3 may answer the challenge only on the connection that brought
      // it: when the server closes that one, the handshake cannot complete.
      if (FCloseReq) {
        FAuthChallenges.Clear();
        FAuthNTLMState = kNtlmIdle;
        TriggerRequestDone();
        break;
      }
      FNTLMMsg2Info = LastNTLMChallenge();
      FAuthNTLMState = kNtlmSendMessage3;
      PostLogin();
      break;
    case kNtlmSendMessage3:  // message 3 was refused
      FAuthChallenges.Clear();
      FAuthNTLMState = kNtlmIdle;
      TriggerRequestDone();
      break;
    default:
      throw EHttpException("Unexpected AuthNTLMState", kAuthStateError);
  }
}

void THttpCli::StartProxyAuthNTLM() {
  switch (FProxyAuthNTLMState) {
    case kNtlmIdle:
      if (CheckLogOptions(core::loProtSpecInfo))
        DebugLog(core::loProtSpecInfo, "Starting Proxy NTLM authentication");
      FProxyAuthNTLMState = kNtlmSendMessage1;
      FProxyAuthBasicState = kBasicIdle;
      if (KeepAliveNeeded()) FCurrProxyConnection = "Keep-alive";
      PostLogin();
      break;
    case kNtlmSendMessage1:
      if (FCloseReq) {
        FAuthChallenges.Clear();
        FProxyAuthNTLMState = kNtlmIdle;
        TriggerRequestDone();
        break;
      }
      FProxyNTLMMsg2Info = LastNTLMChallenge();
      FProxyAuthNTLMState = kNtlmSendMessage3;
      PostLogin();
      break;
    case kNtlmSendMessage3:
      FAuthChallenges.Clear();
      FProxyAuthNTLMState = kNtlmIdle;
      TriggerRequestDone();
      break;
    default:
      throw EHttpException("Unexpected ProxyAuthNTLMState", kAuthStateError);
  }
}

void THttpCli::StartAuthBasic() {
  switch (FAuthBasicState) {
    case kBasicIdle:
      if (CheckLogOptions(core::loProtSpecInfo))
        DebugLog(core::loProtSpecInfo, "Starting Basic authentication");
      FAuthBasicState = kBasicSendCredentials;
      FAuthNTLMState = kNtlmIdle;
      PostLogin();
      break;
    case kBasicSendCredentials:  // the credentials were refused
      FAuthChallenges.Clear();
      FAuthBasicState = kBasicIdle;
      TriggerRequestDone();
      break;
    default:
      throw EHttpException("Unexpected AuthBasicState", kAuthStateError);
  }
}

void THttpCli::StartProxyAuthBasic() {
  switch (FProxyAuthBasicState) {
    case kBasicIdle:
      if (CheckLogOptions(core::loProtSpecInfo))
        DebugLog(core::loProtSpecInfo, "Starting Proxy Basic authentication");
      FProxyAuthBasicState = kBasicSendCredentials;
      FProxyAuthNTLMState = kNtlmIdle;
      PostLogin();
      break;
    case kBasicSendCredentials:
      FAuthChallenges.Clear();
      FProxyAuthBasicState = kBasicIdle;
      TriggerRequestDone();
      break;
    default:
      throw EHttpException("Unexpected ProxyAuthBasicState", kAuthStateError);
  }
}

// --- the request lines ---

// Message 3 in the configured NTLM version; NTLMv2 mixes in 8 random bytes of
// ours and the time.
std::string THttpCli::NtlmMessage3(const std::string& User, const std::string& Password,
                                   const TNTLM_Msg2_Info& Challenge) const {
  if (FNtlmVersion != 2) return BuildNtlmMessage3("", Workstation(), User, Password, Challenge.Challenge);
  TNtlmChallenge ours{};
  if (RAND_bytes(ours.data(), static_cast<int>(ours.size())) != 1) return {};
  // Tenths of a microsecond since 1601, the unit and epoch of the NTLM time.
  constexpr uint64_t kEpochDifference = 11644473600ULL * 10000000ULL;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto tenths =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) * 10;
  return BuildNtlmMessage3V2("", Workstation(), User, Password, Challenge, ours, tenths + kEpochDifference);
}

// A request that opens a proxy NTLM handshake carries nothing for the server: the
// proxy would not pass it on before it has authenticated the connection.
void THttpCli::AddAuthorizationLines(core::TStringList& Headers) {
  if (FProxyAuthNTLMState != kNtlmSendMessage1) {
    if (FAuthNTLMState == kNtlmSendMessage1) {
      Headers.Add("Authorization: NTLM " + BuildNtlmMessage1("", ""));
    } else if (FAuthNTLMState == kNtlmSendMessage3) {
      Headers.Add("Authorization: NTLM " + NtlmMessage3(FCurrUsername, FCurrPassword, FNTLMMsg2Info));
    } else if (FAuthBasicState == kBasicSendCredentials) {
      Headers.Add(BasicLine("Authorization: ", FCurrUsername, FCurrPassword));
    }
  }
  if (FProxyAuthNTLMState == kNtlmSendMessage1) {
    Headers.Add("Proxy-Authorization: NTLM " + BuildNtlmMessage1("", ""));
  } else if (FProxyAuthNTLMState == kNtlmSendMessage3) {
    Headers.Add("Proxy-Authorization: NTLM " +
                NtlmMessage3(FProxyUsername, FProxyPassword, FProxyNTLMMsg2Info));
  } else if (FProxyAuthBasicState == kBasicSendCredentials) {
    Headers.Add(BasicLine("Proxy-Authorization: ", FProxyUsername, FProxyPassword));
  }
}

}  // namespace http
