#include "app/probe/ProbeCli.h"

#include <csignal>
#include <ostream>
#include <string_view>

#include "app/probe/ProbeConfig.h"
#include "app/probe/ProbeServer.h"
#include "app/probe/WebConfig.h"
#include "core/SysUtils.h"

namespace probe {

namespace {

struct TServeArgs {
  std::string addr = "127.0.0.1", port = "9115";
  std::string configFile;
  std::string webConfigFile;
};

// The options after the program's name; the reason for bad usage, else empty.
std::string ParseServeArgs(int argc, char** argv, TServeArgs& a) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto value = [&](std::string_view name, std::string& into) {
      if (arg.substr(0, name.size() + 1) == std::string(name) + "=") {
        into = std::string(arg.substr(name.size() + 1));
        return true;
      }
      if (arg != name) return false;
      if (i + 1 >= argc) throw core::Exception(std::string(name) + " needs a value");
      into = argv[++i];
      return true;
    };
    std::string listen;
    try {
      if (value("--serve", listen)) {
        if (std::string why = ParseListenAddress(listen, a.addr, a.port); !why.empty()) return why;
      } else if (!value("--config", a.configFile) && !value("--web.config.file", a.webConfigFile)) {
        return "unknown option for --serve: " + std::string(arg);
      }
    } catch (const core::Exception& e) {
      return e.Message();
    }
  }
  return {};
}

// SIGHUP: the file again; a bad one keeps the modules the server has.
void Reload(TProbeServer& server, const std::string& file, std::ostream& err) {
  try {
    TModules modules = LoadModules(file);
    const size_t count = modules.size();
    server.SetModules(std::move(modules));
    err << "tachyload: reloaded " << count << " module" << (count == 1 ? "" : "s") << " from " << file
        << std::endl;
  } catch (const core::Exception& e) {
    server.ReloadFailed();
    err << "tachyload: keeping the modules loaded before: " << e.Message() << std::endl;
  }
}

}  // namespace

bool WantsServe(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--serve" || arg.substr(0, 8) == "--serve=") return true;
  }
  return false;
}

std::string ParseListenAddress(const std::string& text, std::string& addr, std::string& port) {
  std::string host, portText = text;
  if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || host.find_first_of("[]") != std::string::npos)
      return "--serve takes [ADDR:]PORT, not '" + text + "'";
  }
  const std::optional<int32_t> n = core::TryStrToInt(portText);
  if (!n || *n < 0 || *n > 65535 || portText.empty() || portText.front() == '+' || portText.front() == '-')
    return "the port of --serve must be a number from 0 to 65535: '" + portText + "'";
  if (!host.empty()) addr = host;
  port = std::to_string(*n);
  return {};
}

int RunServeCli(int argc, char** argv, std::ostream& out, std::ostream& err) {
  TServeArgs args;
  if (const std::string why = ParseServeArgs(argc, argv, args); !why.empty()) {
    err << "tachyload: " << why << "\n";
    return 2;
  }
  // The signals are taken by this thread alone, with sigwait: every thread the
  // server starts inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  TServeOptions options;
  options.addr = args.addr;
  options.port = args.port;
  try {
    if (!args.webConfigFile.empty()) {
      TWebConfig web = LoadWebConfig(args.webConfigFile);
      options.basicAuthUsers = std::move(web.basicAuthUsers);
      options.tlsCertFile = web.tlsCertFile;
      options.tlsKeyFile = web.tlsKeyFile;
    }
    TModules modules = {{"http_2xx", TProbeModule{}}};
    if (!args.configFile.empty()) modules = LoadModules(args.configFile);
    TProbeServer server(options, std::move(modules));
    out << "tachyload: probe server listening on " << (args.addr.find(':') != std::string::npos ? "[" : "")
        << args.addr << (args.addr.find(':') != std::string::npos ? "]" : "") << ":" << server.Port()
        << (options.tlsCertFile.empty() ? "" : " with TLS") << std::endl;
    for (;;) {
      int sig = 0;
      if (sigwait(&signals, &sig) != 0) continue;
      if (sig != SIGHUP) break;
      if (!args.configFile.empty()) Reload(server, args.configFile, err);
    }
  } catch (const core::Exception& e) {
    err << "tachyload: " << e.Message() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace probe
