// tachyload-cli: the window's speed test for terminals, scripts and machines
// without a display. Prints the window's seven history lines (or one JSON object)
// and exits 0; a failed load prints "tachyload: " and the error on standard error
// and exits 1; bad usage exits 2; Ctrl-C aborts the running load and exits 130.
#pragma once

#include <iosfwd>

namespace app {

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace app
