#include "app/CliOptions.h"

#include <CLI/CLI.hpp>
#include <ostream>

namespace app {

namespace {

const char kVersion[] = "tachyload-cli 1.0";

}  // namespace

void DeclareCliOptions(CLI::App& cli, CliOptions& o) {
  cli.add_option("URL", o.url, "the page to load (http://HOST[:PORT]/PATH)")->required();

  const char* loads = "Loads";
  cli.add_option("-n,--loads", o.loads, "number of loads (default 3)")->option_text("N")->group(loads);
  cli.add_flag("-y,--confirm", o.confirm, "allow more than 100 loads")->group(loads);

  const char* output = "Output";
  cli.add_flag("-p,--pages", o.pages, "print the page pane's lines before the report")->group(output);
  cli.add_option("-o,--history", o.historyFile, "append the report to FILE (CR LF line ends)")
      ->option_text("FILE")
      ->group(output);
  cli.add_flag("--json", o.json,
               "print one JSON object instead of the report (with -p the pages go to stderr)")
      ->group(output);

  const char* connection = "Connection";
  cli.add_option("--http-version", o.httpVersion, "1.0 (default) or 1.1")
      ->option_text("V")
      ->check(CLI::IsMember({"1.0", "1.1"}))
      ->group(connection);
  cli.add_option("--proxy", o.proxy, "send the requests through this HTTP proxy")
      ->option_text("HOST[:PORT]")
      ->group(connection);
  cli.add_option("--timeout", o.timeoutSeconds,
                 "abort a load that takes longer (fractions allowed; 0: no limit)")
      ->option_text("SECONDS")
      ->check(CLI::NonNegativeNumber)
      ->group(connection);

  const char* redirections = "Redirections";
  cli.add_option("--max-redirects", o.maxRedirects, "redirections followed (default 5)")
      ->option_text("N")
      ->check(CLI::NonNegativeNumber)
      ->group(redirections);
  cli.add_flag(
         "--no-redirects", [&o](int64_t) { o.followRedirects = false; }, "take a redirection as the page")
      ->group(redirections);

  cli.set_version_flag("--version", kVersion);
}

bool ParseCliOptions(int argc, char** argv, CliOptions& o, std::ostream& out) {
  CLI::App cli("Measures how fast a web page downloads.", "tachyload-cli");
  DeclareCliOptions(cli, o);
  try {
    cli.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << cli.help();
    return false;
  } catch (const CLI::CallForVersion&) {
    out << kVersion << "\n";
    return false;
  } catch (const CLI::ParseError& e) {
    throw ECliUsage(e.what());
  }
  return true;
}

}  // namespace app
