#include "app/probe/ProbeServer.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <vector>

#include "app/CliOptions.h"
#include "app/CliUrl.h"
#include "app/probe/Exposition.h"
#include "app/probe/ProbeRun.h"
#include "core/SysUtils.h"
#include "net/SslWSocket.h"
#include "net/WSocket.h"

namespace probe {

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration ToDuration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 401:
      return "Unauthorized";
    case 408:
      return "Request Timeout";
    case 414:
      return "URI Too Long";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    default:
      return "HTTP Version Not Supported";
  }
}

std::string Response(int status, const std::string& contentType, const std::string& body, bool head) {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) +
                  "\r\nContent-Type: " + contentType + "\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\nConnection: close\r\n";
  if (status == 405) r += "Allow: GET, HEAD\r\n";
  if (status == 401) r += "WWW-Authenticate: Basic realm=\"tachyload\"\r\n";
  r += "\r\n";
  if (!head) r += body;
  return r;
}

std::string ErrorResponse(int status, const std::string& why, bool head = false) {
  return Response(status, "text/plain; charset=utf-8", why + "\n", head);
}

constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace

double ProbeTimeout(const TServeOptions& options, std::optional<double> scrapeSeconds, double moduleSeconds) {
  double t = scrapeSeconds.value_or(options.defaultTimeoutSeconds) - options.timeoutMarginSeconds;
  if (moduleSeconds > 0) t = std::min(t, moduleSeconds);
  return std::max(t, 0.1);
}

namespace {

// Loaded once, before the server listens: a bad file stops the start.
std::shared_ptr<const net::TSslServerContext> LoadTls(const TServeOptions& options) {
  if (options.tlsCertFile.empty() && options.tlsKeyFile.empty()) return nullptr;
  return net::TSslServerContext::Load(options.tlsCertFile, options.tlsKeyFile);
}

}  // namespace

struct TProbeServer::TState : std::enable_shared_from_this<TProbeServer::TState> {
  explicit TState(TServeOptions o, TModules m)
      : options(std::move(o)), auth(options.basicAuthUsers), tls(LoadTls(options)), modules(std::move(m)) {}
  const TServeOptions options;
  const TBasicAuth auth;
  const std::shared_ptr<const net::TSslServerContext> tls;  // null: plain HTTP
  std::atomic<bool> stopping{false};
  winapi::HWND wake = nullptr;  // the listening socket's window, posted to from any thread
  const Clock::time_point started = Clock::now();
  const std::chrono::system_clock::time_point startedWall = std::chrono::system_clock::now();

  mutable std::mutex lock;  // guards everything below
  TModules modules;
  std::vector<std::pair<uint64_t, std::string>> answers;  // finished probes by connection
  // The probes wait here for a worker. Workers live as long as the server and
  // take one probe after the other: a thread leaves some of its message queue
  // behind when it ends, so a thread per probe would grow without end.
  std::deque<std::function<void()>> jobs;
  std::vector<std::thread> workers;
  std::condition_variable jobReady;
  size_t idleWorkers = 0;    // free workers, less those a queued probe was given to
  size_t probesRunning = 0;  // queued or running, until the answer is handed over
  std::set<std::string> busyTargets;
  std::condition_variable targetFree;
  // The server's own figures.
  uint64_t probes = 0, connections = 0, rejectedConnections = 0;
  std::map<std::string, uint64_t> failures;  // by reason
  std::map<int, uint64_t> errorAnswers;      // by status
  double probeSeconds = 0;
  bool lastReloadOk = true;

  std::shared_ptr<TState> Shared() { return shared_from_this(); }
  void CountError(int status) {
    std::lock_guard guard(lock);
    ++errorAnswers[status];
  }
  // Waits until no probe of key runs, at most until deadline; false when it
  // still does (or the server stops).
  bool TakeTarget(const std::string& key, Clock::time_point deadline) {
    std::unique_lock guard(lock);
    if (!targetFree.wait_until(guard, deadline,
                               [&] { return stopping.load() || !busyTargets.contains(key); }))
      return false;
    if (stopping) return false;
    busyTargets.insert(key);
    return true;
  }
  void ReleaseTarget(const std::string& key) {
    {
      std::lock_guard guard(lock);
      busyTargets.erase(key);
    }
    targetFree.notify_all();
  }
  void Finished(uint64_t id, const TProbeOutcome& o, std::string text) {
    {
      std::lock_guard guard(lock);
      ++probes;
      probeSeconds += o.durationSeconds;
      if (!o.success) ++failures[o.failureReason];
      answers.emplace_back(id, std::move(text));
      --probesRunning;
      // The worker is free from the moment its answer can reach the scraper,
      // whose next scrape must not find it busy.
      ++idleWorkers;
    }
    winapi::PostMessage(wake, winapi::WM_NULL, 0, 0);
  }
};

namespace {

using TState = TProbeServer::TState;

// Figures of this process as the usual process_* series name them.
void WriteProcessFigures(TExposition& e, const TState& state) {
  std::error_code ec;
  size_t fds = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++fds;
  e.Gauge("process_open_fds", "Number of open file descriptors", static_cast<double>(fds));
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  if (statm >> pages >> resident)
    e.Gauge("process_resident_memory_bytes", "Resident memory size in bytes",
            static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto secs = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  e.Family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds");
  e.Sample("process_cpu_seconds_total", secs(usage.ru_utime) + secs(usage.ru_stime));
  e.Gauge("process_start_time_seconds", "Start time of the server since unix epoch in seconds",
          std::chrono::duration<double>(state.startedWall.time_since_epoch()).count());
}

std::string ServerMetricsText(const TState& state) {
  TExposition e;
  {
    std::lock_guard guard(state.lock);
    e.Family("tachyload_probes_total", "counter", "Probes run to their end");
    e.Sample("tachyload_probes_total", static_cast<double>(state.probes));
    e.Family("tachyload_probe_failures_total", "counter", "Probes that failed, by reason");
    for (const auto& [reason, n] : state.failures)
      e.Sample("tachyload_probe_failures_total", static_cast<double>(n), {{"reason", reason}});
    e.Family("tachyload_probe_duration_seconds", "summary", "Time the probes took");
    e.Sample("tachyload_probe_duration_seconds_sum", state.probeSeconds);
    e.Sample("tachyload_probe_duration_seconds_count", static_cast<double>(state.probes));
    e.Gauge("tachyload_probes_running", "Probes running now, waiting ones included",
            static_cast<double>(state.probesRunning));
    e.Gauge("tachyload_probe_workers", "Worker threads, each running one probe at a time",
            static_cast<double>(state.workers.size()));
    e.Family("tachyload_scrape_errors_total", "counter", "Requests answered with an error status, by status");
    for (const auto& [status, n] : state.errorAnswers)
      e.Sample("tachyload_scrape_errors_total", static_cast<double>(n), {{"status", std::to_string(status)}});
    e.Gauge("tachyload_config_last_reload_successful", "Whether the last reload of the module file succeeded",
            state.lastReloadOk ? 1 : 0);
    e.Family("tachyload_connections_total", "counter", "Connections accepted");
    e.Sample("tachyload_connections_total", static_cast<double>(state.connections));
    e.Family("tachyload_connections_rejected_total", "counter", "Connections refused for being too many");
    e.Sample("tachyload_connections_rejected_total", static_cast<double>(state.rejectedConnections));
  }
  WriteProcessFigures(e, state);
  return e.Text();
}

// The worker's part: wait for the target, probe it, hand the answer over.
void ProbeOnWorker(const std::shared_ptr<TState>& state, uint64_t id, TProbeRequest request,
                   const std::string& key) {
  const Clock::time_point begin = Clock::now();
  const Clock::time_point deadline = begin + ToDuration(request.timeoutSeconds);
  TProbeOutcome outcome;
  if (state->TakeTarget(key, deadline)) {
    // The wait for the target is part of the probe's time.
    const double allowed = request.timeoutSeconds;
    request.timeoutSeconds -= std::chrono::duration<double>(Clock::now() - begin).count();
    outcome = RunProbe(request, &state->stopping);
    state->ReleaseTarget(key);
    outcome.timeoutSeconds = allowed;
    outcome.durationSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
  } else {
    outcome.loadsRequested = request.loads;
    outcome.timeoutSeconds = request.timeoutSeconds;
    outcome.failureReason = "busy";
    outcome.failureMessage = "another probe of this target ran for the whole timeout";
    outcome.durationSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
  }
  std::string text = ProbeMetricsText(outcome);
  state->Finished(id, outcome, std::move(text));
}

// A worker: the queued probes one after the other until the server stops.
// A new worker starts with the probe it was made for; each probe's end makes it
// free again (Finished).
void WorkerLoop(TState& state) {
  std::unique_lock guard(state.lock);
  for (;;) {
    state.jobReady.wait(guard, [&] { return state.stopping.load() || !state.jobs.empty(); });
    if (state.stopping) return;
    std::function<void()> job = std::move(state.jobs.front());
    state.jobs.pop_front();
    guard.unlock();
    job();
    guard.lock();
  }
}

// One scraper's connection: one request, one answer, then closed. Owned by the
// listening socket; frees itself once done.
class TScrapeConnection : public net::TSslWSocket {
 public:
  TScrapeConnection(core::TComponent* owner, TState& state, uint64_t id)
      : net::TSslWSocket(owner),
        FState(state),
        FId(id),
        FParser(state.options.limits),
        FDeadline(Clock::now() + ToDuration(state.options.requestWaitSeconds)) {}

  void Adopt(net::SOCKET handle, bool overCapacity) {
    // A scraper that went away while we answered is not the server's failure.
    OnError = [](core::TComponent*) {};
    OnDataAvailable = [this](core::TComponent*, uint16_t) { Received(ReceiveStr()); };
    OnDataSent = [this](core::TComponent*, uint16_t) {
      if (FStage == TStage::kSending) Finish();
    };
    OnSessionClosed = [this](core::TComponent*, uint16_t) { Finish(); };
    // A failed handshake closes the connection, which ends it below.
    SetSslServerContext(FState.tls);
    if (handle != net::INVALID_SOCKET) Dup(handle);
    if (State() != net::wsConnected) return Finish();
    if (FState.tls) StartSsl();
    // Over TLS the answer waits for the handshake.
    if (overCapacity) Answer(ErrorResponse(503, "too many connections"), 503);
  }

  void BeforeDestruction() override {
    FStage = TStage::kDone;
    net::TSslWSocket::BeforeDestruction();
  }

  uint64_t Id() const { return FId; }
  // The end of the wait for the request, while the connection waits for it.
  std::optional<Clock::time_point> RequestDeadline() const {
    if (FStage != TStage::kRequest) return std::nullopt;
    return FDeadline;
  }
  void ExpireIfDue(Clock::time_point now) {
    if (FStage != TStage::kRequest || now < FDeadline) return;
    // A client still in its handshake could not read the answer: it is closed.
    if (FState.tls && SslState() != net::sslEstablished) return Finish();
    Answer(ErrorResponse(408, "the request did not arrive in time"), 408);
  }
  void ProbeAnswered(const std::string& text) {
    if (FStage == TStage::kProbing) Answer(Response(200, kMetricsType, text, FHead), 0);
  }

 private:
  enum class TStage { kRequest, kProbing, kSending, kDone };

  void Received(const std::string& bytes) {
    if (FStage != TStage::kRequest) return;  // nothing after the request is read
    if (FParser.Feed(bytes) != TScrapeVerdict::kNeedMore) Dispatch();
  }

  void Answer(const std::string& response, int errorStatus) {
    if (errorStatus != 0) FState.CountError(errorStatus);
    FStage = TStage::kSending;
    SendStr(response);
  }

  void Dispatch() {
    if (FParser.Verdict() == TScrapeVerdict::kError)
      return Answer(ErrorResponse(FParser.ErrorStatus(), FParser.ErrorReason()), FParser.ErrorStatus());
    const TScrapeRequest& r = FParser.Request();
    FHead = r.method == "HEAD";
    if (!FState.auth.Allows(r.authorization)) return Answer(ErrorResponse(401, "log in first", FHead), 401);
    if (r.path == "/metrics") return Answer(Response(200, kMetricsType, ServerMetricsText(FState), FHead), 0);
    if (r.path != "/probe")
      return Answer(ErrorResponse(404, "not found: use /probe or /metrics", FHead), 404);
    TProbeRequest probe;
    std::string key;
    if (const std::string why = ProbeRequestFrom(r, probe, key); !why.empty())
      return Answer(ErrorResponse(400, why, FHead), 400);
    std::lock_guard guard(FState.lock);
    if (FState.probesRunning >= FState.options.maxProbes) {
      ++FState.errorAnswers[503];
      FStage = TStage::kSending;
      SendStr(ErrorResponse(503, "too many probes running", FHead));
      return;
    }
    FStage = TStage::kProbing;
    ++FState.probesRunning;
    FState.jobs.emplace_back([state = FState.Shared(), id = FId, probe = std::move(probe), key]() mutable {
      ProbeOnWorker(state, id, std::move(probe), key);
    });
    if (FState.idleWorkers > 0) {
      --FState.idleWorkers;
      FState.jobReady.notify_one();
    } else {
      FState.workers.emplace_back(WorkerLoop, std::ref(FState));
    }
  }

  // The probe a /probe request asks for, or why it is a bad request.
  std::string ProbeRequestFrom(const TScrapeRequest& r, TProbeRequest& probe, std::string& key) {
    if (r.ParamCount("target") != 1) return "give the target once: /probe?target=URL";
    try {
      probe.target = app::CheckedUrl(*r.Param("target"));
    } catch (const core::Exception& e) {
      return "bad target: " + e.Message();
    }
    const std::string module = r.Param("module").value_or("");
    {
      std::lock_guard guard(FState.lock);
      if (!module.empty()) {
        const auto it = FState.modules.find(module);
        if (it == FState.modules.end()) return "unknown module: " + module;
        probe.module = it->second;
      } else if (const auto it = FState.modules.find("http_2xx"); it != FState.modules.end()) {
        probe.module = it->second;
      }
    }
    if (const auto loads = r.Param("loads")) {
      const std::optional<int32_t> n = core::TryStrToInt(*loads);
      if (!n || *n < 1 || *n > FState.options.maxLoads)
        return "loads must be a number from 1 to " + std::to_string(FState.options.maxLoads);
      probe.loads = *n;
    }
    probe.timeoutSeconds = ProbeTimeout(FState.options, r.scrapeTimeoutSeconds, probe.module.timeoutSeconds);
    key = module + "\n" + probe.target;
    return {};
  }

  void Finish() {
    if (FStage == TStage::kDone) return;
    FStage = TStage::kDone;
    Close();
    Release();
  }

  TState& FState;
  const uint64_t FId;
  TScrapeRequestParser FParser;
  const Clock::time_point FDeadline;
  TStage FStage = TStage::kRequest;
  bool FHead = false;
};

}  // namespace

namespace {

// Hands the finished probes' answers to their connections (a scraper that gave
// up has none any more).
void DeliverAnswers(TState& state, core::TComponent& listener) {
  std::vector<std::pair<uint64_t, std::string>> answers;
  {
    std::lock_guard guard(state.lock);
    answers.swap(state.answers);
  }
  for (const auto& [id, text] : answers) {
    for (int i = 0; i < listener.ComponentCount(); ++i) {
      auto* c = dynamic_cast<TScrapeConnection*>(listener.Components(i));
      if (c != nullptr && c->Id() == id) c->ProbeAnswered(text);
    }
  }
}

// Answers the connections whose request is overdue; returns the milliseconds
// until the next one is (rounded up, so the loop never spins), INFINITE when
// none waits for its request.
winapi::DWORD ExpireRequests(core::TComponent& listener) {
  const Clock::time_point now = Clock::now();
  std::optional<Clock::time_point> next;
  for (int i = listener.ComponentCount() - 1; i >= 0; --i) {
    auto* c = dynamic_cast<TScrapeConnection*>(listener.Components(i));
    if (c == nullptr) continue;
    c->ExpireIfDue(now);
    const auto due = c->RequestDeadline();
    if (due && (!next || *due < *next)) next = due;
  }
  if (!next) return winapi::INFINITE;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
  return static_cast<winapi::DWORD>(std::max<int64_t>(left, 0));
}

void RunLoop(TState& state, core::TComponent& listener) {
  while (!state.stopping) {
    DeliverAnswers(state, listener);
    const winapi::DWORD wait = ExpireRequests(listener);
    if (winapi::MsgWaitForMultipleObjects(0, nullptr, 0, wait, winapi::QS_ALLPOSTMESSAGE) !=
        winapi::WAIT_OBJECT_0)
      continue;
    winapi::MSG msg{};
    while (!state.stopping && winapi::PeekMessage(&msg, nullptr, 0, 0, winapi::PM_REMOVE)) {
      if (msg.message == winapi::WM_QUIT) return;
      winapi::DispatchMessage(&msg);
    }
  }
}

}  // namespace

TProbeServer::TProbeServer(TServeOptions options, TModules modules)
    : FOptions(options), FState(std::make_shared<TState>(std::move(options), std::move(modules))) {
  InstallProbeApplication();
  std::promise<std::string> started;
  std::future<std::string> failure = started.get_future();
  FThread = std::thread([this, &started] { Serve(started); });
  const std::string why = failure.get();
  if (why.empty()) return;
  FThread.join();
  throw core::Exception("cannot listen on " + FOptions.addr + ":" + FOptions.port + ": " + why);
}

TProbeServer::~TProbeServer() {
  FState->stopping = true;
  FState->targetFree.notify_all();
  winapi::PostMessage(FState->wake, winapi::WM_NULL, 0, 0);
  FThread.join();
  // The probes end at their next wait once they see the stop, the idle
  // workers when they wake.
  std::vector<std::thread> workers;
  {
    std::lock_guard guard(FState->lock);
    workers.swap(FState->workers);
  }
  FState->jobReady.notify_all();
  for (std::thread& t : workers) t.join();
}

void TProbeServer::SetModules(TModules modules) {
  std::lock_guard guard(FState->lock);
  FState->modules = std::move(modules);
  FState->lastReloadOk = true;
}

void TProbeServer::ReloadFailed() {
  std::lock_guard guard(FState->lock);
  FState->lastReloadOk = false;
}

std::string TProbeServer::MetricsText() const {
  return ServerMetricsText(*FState);
}

void TProbeServer::Serve(std::promise<std::string>& started) {
  // Freeing the listening socket frees the connections it still owns.
  auto listener = core::MakeComponent<net::TWSocket>(nullptr);
  uint64_t nextId = 0;
  try {
    listener->SetAddr(FOptions.addr);
    listener->SetPort(FOptions.port);
    listener->SetListenBacklog(std::max<int>(128, static_cast<int>(FOptions.maxConnections)));
    listener->OnSessionAvailable = [this, server = listener.get(), &nextId](core::TComponent*, uint16_t) {
      const bool over = static_cast<size_t>(server->ComponentCount()) >= FState->options.maxConnections;
      {
        std::lock_guard guard(FState->lock);
        ++(over ? FState->rejectedConnections : FState->connections);
      }
      auto* connection = core::Create<TScrapeConnection>(server, *FState, ++nextId);
      connection->Adopt(server->Accept(), over);
    };
    listener->Listen();
    // From here on a failed accept is the scraper's loss, not the server's end.
    listener->OnError = [](core::TComponent*) {};
    FPort = static_cast<uint16_t>(std::stoi(listener->GetBoundPort()));
    FState->wake = listener->Handle();
  } catch (const std::exception& e) {
    started.set_value(core::ExceptionMessage(e));
    return;
  }
  started.set_value({});
  RunLoop(*FState, *listener);
}

}  // namespace probe
