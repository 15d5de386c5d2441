// The texts of socket and system error codes, as messages and events show them,
// and the one test of which codes mean a failed host lookup.
#pragma once

#include <string>

namespace net {

// The text of a socket error code; "Not a WinSock error" for any code not in the table.
std::string SocketErrorText(int code);
// SocketErrorText(code) + " (#" + code + ")".
std::string SocketErrorMessage(int code);
// The system's text for an error code + " (#" + code + ")". Socket error codes get
// their socket text, since the system's own table does not know them.
std::string SystemErrorMessage(int code);

// True for the codes a failed host lookup ends with (11001 to 11004). Callers ask
// this rather than read a message: a server's reason phrase can say anything.
bool IsLookupError(int code);

}  // namespace net
