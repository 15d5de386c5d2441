// tachyload-cli history: the runs kept in the history database, one line (or
// JSON object, or CSV row) each with the median and p95 of its loads, and
// --prune DAYS to remove the older ones. Exits 0, 1 when the database fails,
// 2 for bad usage.
#pragma once

#include <iosfwd>

namespace app {

// argv[0] is "history".
int RunHistoryCli(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace app
