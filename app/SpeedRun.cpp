#include "app/SpeedRun.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "app/PageCharCounter.h"
#include "core/Classes.h"
#include "core/SysUtils.h"
#include "http/HttpProt.h"
#include "net/SocksWSocket.h"
#include "platform/WinMsg.h"

namespace app {

std::string FormatGeneral(long double value, char decimalSeparator) {
  if (value == 0 || std::isnan(value)) return "0";
  std::string sign;
  if (value < 0) {
    sign = "-";
    value = -value;
  }
  // 15 significant digits, rounded once by the C library.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.14Le", value);
  std::string digits;
  const char* p = buf;
  for (; *p && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') digits += *p;
  const int exp = *p == 'e' ? std::atoi(p + 1) : 0;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  if (exp >= -5 && exp < 15) {  // fixed notation
    std::string out;
    if (exp >= 0) {
      const auto intDigits = static_cast<size_t>(exp) + 1;
      if (digits.size() <= intDigits) return sign + digits + std::string(intDigits - digits.size(), '0');
      return sign + digits.substr(0, intDigits) + decimalSeparator + digits.substr(intDigits);
    }
    return sign + "0" + decimalSeparator + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
  }
  std::string out = sign + digits.substr(0, 1);
  if (digits.size() > 1) out += decimalSeparator + digits.substr(1);
  return out + "E" + std::to_string(exp);
}

std::string LocaleShortDate() {
  char buf[64];
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return std::strftime(buf, sizeof buf, "%x", &tm) > 0 ? buf : "";
}

std::string ConfirmationMessage(const std::string& loadsText) {
  return "You entered quite big number of page loads (" + loadsText +
         "). If this is not a mistake and you really want to perform so much downloads, please check the <I "
         "confirm this number> checkbox ";
}

std::vector<std::string> HistoryLines(const std::string& url, const std::string& date,
                                      const std::string& loadsText, const TSpeedResult& r) {
  return {"URL: " + url,
          "Test date: " + date,
          "Number of loads: " + loadsText,
          "Time: " + r.timeText + " ms.",
          "Bytes downloaded: " + r.bytesText,
          "Average Speed: " + r.speedText + " bps.",
          "----------"};
}

namespace {

// The streams of a run, used again by every load: a block kept from one load to
// the next is not handed back to the system and faulted in again.
struct TLoadStreams {
  core::TMemoryStream page;
  TPageCharCounter counter;
};

// One load: Get into the emptied stream, then append the page's lines, or, for a
// view that shows no page, only their count. The stream is detached from the
// client afterwards, so the client never keeps a pointer past the run.
void RunOneLoad(http::THttpCli& client, ISpeedTestView& view, TLoadStreams& streams) {
  const bool countOnly = view.CountsCharactersOnly();
  core::TStream* target = countOnly ? static_cast<core::TStream*>(&streams.counter) : &streams.page;
  target->SetSize(0);
  try {
    client.SetURL(view.UrlText());
    client.SetProxyPort("80");
    // A range the last load's response named would make this load fetch part of
    // the page: every load measures the whole of it.
    client.SetContentRangeBegin("");
    client.SetContentRangeEnd("");
    view.PrepareLoad(client);
    client.SetRcvdStream(target);
    client.Get();
    view.CheckLoad(client);
    // The pane's work belongs to the load: its own phase of the timeline.
    http::THttpTimeline& timeline = client.Timeline();
    timeline.Resume(http::TLoadPhase::pane);
    if (countOnly)
      view.AddPageChars(streams.counter.CharCount());
    else
      view.AppendReceived(streams.page);
    timeline.Stop();
    view.LoadMeasured(timeline.Times());
  } catch (...) {
    client.SetRcvdStream(nullptr);
    throw;
  }
  client.SetRcvdStream(nullptr);
}

}  // namespace

TSpeedResult RunSpeedTest(http::THttpCli& client, ISpeedTestView& view) {
  TSpeedResult r;
  view.ClearResults();
  const std::string loadsText = view.LoadsText();
  const int32_t n = core::StrToInt(loadsText);
  r.loads = n;
  int64_t total = 0;
  if (n > 100 && !view.LoadsConfirmed()) {
    view.AskForConfirmation(ConfirmationMessage(loadsText));
    return r;
  }
  TLoadStreams streams;
  for (int32_t i = 1; i <= n; ++i) {
    view.SetCaption(std::to_string(i) + " / " + std::to_string(n));
    const winapi::DWORD start = winapi::GetTickCount();
    view.SetTestEnabled(false);
    // The clean-up runs whether the load succeeded or raised.
    auto cleanup = [&] {
      const winapi::DWORD elapsed = winapi::GetTickCount() - start;  // unsigned: safe across the wrap
      total += elapsed;
      r.loadMs.push_back(elapsed);
      view.SetTestEnabled(true);
      view.LoadTimed(i, elapsed);
    };
    try {
      RunOneLoad(client, view, streams);
    } catch (...) {
      cleanup();
      throw;
    }
    cleanup();
  }
  r.ran = true;
  r.totalMs = total;
  r.bytes = view.PageCharCount();
  r.bytesText = std::to_string(r.bytes);
  r.timeText = std::to_string(total);
  if (total == 0) {
    r.speedText = "Error!";
  } else {
    const long double speed = (static_cast<long double>(r.bytes) / total) * 1000;
    r.speedText = FormatGeneral(speed, view.DecimalSeparator());
  }
  view.ShowTotals(r.timeText, r.bytesText, r.speedText);
  view.AppendHistory(HistoryLines(view.UrlText(), view.ShortDateToday(), loadsText, r));
  return r;
}

void ConfigureClient(http::THttpCli& client) {
  client.SetLocalAddr("0.0.0.0");
  client.SetProxyPort("80");
  client.SetAgent("Mozilla/3.0 (compatible)");
  client.SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
  client.SetNoCache(false);
  client.SetContentTypePost("application/x-www-form-urlencoded");
  client.SetMultiThreaded(false);
  client.SetRequestVer("1.0");
  client.SetFollowRelocation(true);
  client.SetLocationChangeMaxCount(5);
  client.SetBandwidthLimit(10000);
  client.SetBandwidthSampling(1000);
  client.SetOptions(0);
  client.SetSocksLevel("5");
  client.SetSocksAuthentication(net::socksNoAuthentication);
}

}  // namespace app
