// The speed-test run that the window's TEST button and the command line share:
// check the number of loads, fetch the URL that many times with the client's
// synchronous Get, time each load with the tick counter, split every page into
// the page pane's lines (or only count their characters, for a view that shows no
// page), and write the totals and the seven-line report.
//
// The run talks to its front end only through ISpeedTestView, so the same steps
// drive the Qt window and the terminal. Everything runs on the caller's thread;
// Get pumps that thread's messages while it waits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/PageLines.h"

namespace http {
class THttpCli;
struct TLoadTimes;
}  // namespace http

namespace app {

// What the run reads from and writes to its front end.
class ISpeedTestView {
 public:
  virtual ~ISpeedTestView() = default;
  virtual std::string UrlText() = 0;    // URLEdit
  virtual std::string LoadsText() = 0;  // Edit4, as typed
  // First thing of a run: empty the page pane and the time, bytes and speed fields.
  virtual void ClearResults() = 0;
  // The confirmation check box: its state, and making it visible with the message.
  virtual bool LoadsConfirmed() = 0;
  virtual void AskForConfirmation(const std::string& message) = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual void SetTestEnabled(bool enabled) = 0;
  // A received page, to be split into the page pane's lines (TPageLines::AppendPage).
  virtual void AppendPage(const char* data, int64_t size) = 0;
  // The same for the stream the page was received into; a view that can take its
  // block over (TPageLines::AppendReceived) spares the copy.
  virtual void AppendReceived(core::TMemoryStream& page) { AppendPage(page.Memory(), page.Size()); }
  // Characters in the page pane, every line counted with its CR LF.
  virtual int64_t PageCharCount() = 0;
  // A view that shows no page: the run counts the pane's characters as the bytes
  // arrive and hands over only their number (AddPageChars), keeping no page.
  virtual bool CountsCharactersOnly() { return false; }
  virtual void AddPageChars(int64_t count) { (void)count; }
  virtual void ShowTotals(const std::string& timeMs, const std::string& bytes, const std::string& speed) = 0;
  virtual void AppendHistory(const std::vector<std::string>& lines) = 0;
  // The locale's short date of today and its decimal separator.
  virtual std::string ShortDateToday() = 0;
  virtual char DecimalSeparator() = 0;
  // Called after each load with its time in milliseconds (the command line's JSON).
  virtual void LoadTimed(int loadIndex, uint32_t elapsedMs) {
    (void)loadIndex;
    (void)elapsedMs;
  }
  // Around each load's Get: PrepareLoad after the run has set the client up for
  // the load, CheckLoad once Get returned (raising fails the load as a failed Get
  // does). The window needs neither; the command line sets its proxy and judges
  // the answer here.
  virtual void PrepareLoad(http::THttpCli& client) { (void)client; }
  // After each successful load: where its time went, the page pane included.
  virtual void LoadMeasured(const http::TLoadTimes& times) { (void)times; }
  virtual void CheckLoad(http::THttpCli& client) { (void)client; }
};

// The general floating-point text form: up to 15 significant digits, no trailing
// zeros, fixed notation unless the value is below 0.00001 or has more than 15
// integer digits, then scientific ("1.5E-6", "1E20").
std::string FormatGeneral(long double value, char decimalSeparator);

// Today's date in the locale's short form (strftime's %x: "12/07/26" in the C
// locale), the form both the window's and the command line's history use.
std::string LocaleShortDate();

// The confirmation message for more than 100 loads (it ends with a blank).
std::string ConfirmationMessage(const std::string& loadsText);

struct TSpeedResult {
  int32_t loads = 0;
  int64_t totalMs = 0;  // 64-bit: long runs of large pages must not wrap
  int64_t bytes = 0;
  std::string timeText, bytesText, speedText;  // as shown; speed "Error!" when the time is 0
  std::vector<uint32_t> loadMs;
  bool ran = false;  // false when the run stopped to ask for confirmation
};

// The seven history lines of a finished run.
std::vector<std::string> HistoryLines(const std::string& url, const std::string& date,
                                      const std::string& loadsText, const TSpeedResult& r);

// GoButtonClick: the whole run. A non-integer number of loads raises
// core::EConvertError before any load; a failed load raises the client's
// EHttpException after re-enabling TEST (no totals, no history then).
TSpeedResult RunSpeedTest(http::THttpCli& client, ISpeedTestView& view);

// Applies the window's configuration of its HTTP client.
void ConfigureClient(http::THttpCli& client);

}  // namespace app
