// tachyload-cli --serve [ADDR:]PORT [--config FILE] [--web.config.file FILE]:
// the probe server in the foreground until SIGINT or SIGTERM. It says where it
// listens on standard output; SIGHUP reads the module file again.
#pragma once

#include <iosfwd>
#include <string>

namespace probe {

// True when the arguments ask for the probe server.
bool WantsServe(int argc, char** argv);

int RunServeCli(int argc, char** argv, std::ostream& out, std::ostream& err);

// "[ADDR:]PORT" (ADDR an IPv4 address, a name, or an IPv6 address in
// brackets; 127.0.0.1 when absent) into its parts. Empty string: good.
std::string ParseListenAddress(const std::string& text, std::string& addr, std::string& port);

}  // namespace probe
