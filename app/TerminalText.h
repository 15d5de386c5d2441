// Text from the network (a reason phrase, a location) made safe to print on a
// terminal: a control byte could otherwise move the cursor, recolour or retitle
// the terminal, or hide what came before it.
#pragma once

#include <string>

namespace app {

// Every byte below 32 and DEL becomes "\xHH"; other bytes stay as they are.
std::string TerminalSafe(const std::string& text);
// A page's line for a terminal: the same, but a tab stays a tab.
std::string TerminalSafePage(const std::string& line);

}  // namespace app
