// How a load's connection is reported: the family's names, an attempt's target
// and the sentence that tells what a lost connection race cost. Pure text from
// the client's attempt records; nothing here touches a network.
#pragma once

#include <string>
#include <vector>

#include "http/HttpTimeline.h"

namespace app {

// "ipv4" or "ipv6" (JSON and CSV); "" for no connection.
const char* FamilyName(int family);
// "IPv4" or "IPv6" (sentences and the window); "" for no connection.
const char* FamilyLabel(int family);
// "127.0.0.1:443" or "[2001:db8::1]:443"; the address alone when the port is unknown.
std::string AttemptTarget(const http::TLoadConnectAttempt& a);
// Milliseconds as a person reads them: "0.3 ms" below 10 ms, "250 ms" above.
std::string DurationText(int64_t ns);

// When a connection won after other attempts, what each of the others did, then
// the winner's family: "IPv6 attempt to [2001:db8::1]:443 gave no answer in 250 ms;
// IPv4 won". Empty when there was no winner or no other attempt.
std::string RaceText(const std::vector<http::TLoadConnectAttempt>& attempts);

// One line per attempt for the window: "IPv6 [::1]:8080 refused after 0.3 ms".
std::vector<std::string> AttemptLines(const std::vector<http::TLoadConnectAttempt>& attempts);

}  // namespace app
