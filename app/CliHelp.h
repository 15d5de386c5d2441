// What tachyload-cli says about its own usage: the --help text (the README
// shows the same block) and the option parser's errors in the program's voice.
#pragma once

#include <string>

namespace CLI {
class App;
class ParseError;
}  // namespace CLI

namespace app {

// The whole --help text, ending with a line break.
const char* CliHelpText();

// The parser's error as a sentence, with "did you mean --loads?" for an
// unknown option that is close to a known one.
std::string ParseErrorText(const CLI::App& cli, const CLI::ParseError& error);

// The long option of cli closest to word (at most two edits away, and fewer
// than half its letters); empty when none is that close.
std::string NearestOption(const CLI::App& cli, const std::string& word);

}  // namespace app
