// The window's side of the history database: each run recorded after its
// report and history lines are shown, and the Trends of the current URL.
#include <numeric>

#include "app/CliOptions.h"
#include "app/CliSecrets.h"
#include "app/HistoryRecord.h"
#include "app/qt/Unit1.h"

namespace app {

namespace {

// What changes a load's figures, as the command line writes it, so the two
// compare runs made the same way.
std::string MeasuredOptions(const TWindowOptions& o) {
  std::string text = "http=" + o.httpVersion;
  if (!o.proxy.empty()) text += " proxy=" + o.proxy;
  if (!o.socks.empty()) text += " socks=" + o.socks + " socks-level=" + o.socksLevel;
  if (o.compressed) text += " compressed";
  if (o.bandwidthLimit != "0") text += " limit-rate=" + o.bandwidthLimit;
  text += " pages";  // the window always fills its page pane
  if (o.ipFamily != "both") text += " " + o.ipFamily;
  if (o.noRace) text += " no-race";
  return text;
}

}  // namespace

store::THistoryStore& TForm1::History() {
  if (!FHistory || FHistory->Path() != HistoryPath)
    FHistory = std::make_unique<store::THistoryStore>(
        HistoryPath, store::THistorySettings{.createFolder = HistoryPath == store::DefaultHistoryPath()});
  return *FHistory;
}

void TForm1::TellHistoryNotices() {
  for (const std::string& notice : History().TakeNotices())
    ShowError(QStringLiteral("Tachyload..."), QString::fromStdString(notice));
}

// A run that stopped early is kept with its loads so far, the failed one last.
// A database that fails costs a message, never the run: the totals and the
// history lines are shown by now.
void TForm1::RecordRun(const TSpeedResult* result, const std::exception* failure) {
  if (FOptions.recordHistory) {
    TUrlLoads run;
    run.url = MaskUrlPasswords(FRun.url);
    for (const TLoadRow& row : FRun.rows) run.loads.push_back(row.times);
    if (failure && !FRun.rows.empty()) run.error = MaskUrlPasswords(FRun.rows.back().error);
    const int64_t loadsUs = std::accumulate(FRun.rows.begin(), FRun.rows.end(), int64_t{0},
                                            [](int64_t sum, const TLoadRow& r) { return sum + r.totalUs; });
    const TRunFacts facts{FRunStartedAt,
                          result ? result->loads : std::atoll(LoadsText().c_str()),
                          FOptions.httpVersion,
                          MeasuredOptions(FOptions),
                          !failure         ? "ok"
                          : FStopRequested ? "interrupted"
                                           : "failed",
                          ProgramVersion(),
                          result ? result->totalMs : loadsUs / 1000,
                          result ? result->bytes : PageCharCount()};
    store::TRunRow row = RunRow(run, facts);
    // The window's load time is the whole load, the page pane included.
    for (size_t i = 0; i < row.loadRows.size(); ++i) row.loadRows[i].totalUs = FRun.rows[i].totalUs;
    try {
      History().Record(row);
    } catch (const store::EHistory& e) {
      ShowError(QStringLiteral("Tachyload..."),
                QString::fromStdString(e.Message()) + QStringLiteral("; this run was not recorded."));
    }
    TellHistoryNotices();
  }
  if (Trends != nullptr && Trends->isVisible()) ShowTrends();
}

void TForm1::TrendsButtonClick() {
  if (Trends == nullptr) Trends = new TTrendsWindow(this);
  ShowTrends();
  Trends->show();
  Trends->raise();
  Trends->activateWindow();
}

void TForm1::ShowTrends() {
  store::TRunQuery q;
  q.url = MaskUrlPasswords(UrlText());
  q.okOnly = true;
  std::vector<store::TRunRow> runs;
  try {
    runs = History().Runs(q);
  } catch (const store::EHistory& e) {
    ShowError(QStringLiteral("Tachyload..."), QString::fromStdString(e.Message()));
  }
  TellHistoryNotices();
  Trends->Show(*q.url, std::move(runs));
}

}  // namespace app
