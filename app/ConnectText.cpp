#include "app/ConnectText.h"

#include <cstdio>

#include "net/SocketErrorText.h"
#include "platform/WinSock.h"

namespace app {

using http::TLoadConnectAttempt;

const char* FamilyName(int family) {
  return family == AF_INET6 ? "ipv6" : family == AF_INET ? "ipv4" : "";
}

const char* FamilyLabel(int family) {
  return family == AF_INET6 ? "IPv6" : family == AF_INET ? "IPv4" : "";
}

std::string AttemptTarget(const TLoadConnectAttempt& a) {
  const bool v6 = a.addr.find(':') != std::string::npos;
  if (a.port == 0) return a.addr;
  return (v6 ? "[" + a.addr + "]" : a.addr) + ":" + std::to_string(a.port);
}

std::string DurationText(int64_t ns) {
  char buf[32];
  const double ms = static_cast<double>(ns) / 1e6;
  std::snprintf(buf, sizeof buf, ms < 9.95 ? "%.1f ms" : "%.0f ms", ms);
  return buf;
}

namespace {

// What became of an attempt that did not win, as the end of a sentence.
std::string Outcome(const TLoadConnectAttempt& a) {
  const std::string took = DurationText(a.endNs - a.startNs);
  switch (a.error) {
    case 0:
      return "gave no answer in " + took;
    case winapi::WSAECONNREFUSED:
      return "was refused after " + took;
    case winapi::WSAETIMEDOUT:
      return "timed out after " + took;
    default:
      return "failed after " + took + " (" + net::SocketErrorText(a.error) + ")";
  }
}

}  // namespace

std::string RaceText(const std::vector<TLoadConnectAttempt>& attempts) {
  const TLoadConnectAttempt* winner = nullptr;
  std::string text;
  for (const TLoadConnectAttempt& a : attempts) {
    if (a.won) {
      winner = &a;
      continue;
    }
    text += std::string(FamilyLabel(a.family)) + " attempt to " + AttemptTarget(a) + " " + Outcome(a) + "; ";
  }
  if (winner == nullptr || text.empty()) return "";
  return text + FamilyLabel(winner->family) + " won";
}

std::vector<std::string> AttemptLines(const std::vector<TLoadConnectAttempt>& attempts) {
  std::vector<std::string> lines;
  for (const TLoadConnectAttempt& a : attempts)
    lines.push_back(std::string(FamilyLabel(a.family)) + " " + AttemptTarget(a) + " " +
                    (a.won ? "won after " + DurationText(a.endNs - a.startNs) : Outcome(a)));
  return lines;
}

}  // namespace app
