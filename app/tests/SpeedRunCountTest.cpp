// The run's totals past 32 bits: a long run of large pages must not wrap its
// byte count or its speed; and what one load's response says stays out of the
// next load's request.
#include <gtest/gtest.h>

#include <string>

#include "app/SpeedRun.h"
#include "core/Classes.h"
#include "http/HttpProt.h"
#include "testsupport/ScriptedPeer.h"

namespace {

using testsupport::HttpResponse;
using testsupport::Millis;
using testsupport::Script;
using testsupport::ScriptedPeer;

// A view whose page pane claims to hold more characters than 32 bits count.
class HugePaneView : public app::ISpeedTestView {
 public:
  HugePaneView(std::string url, std::string loads) : FUrl(std::move(url)), FLoads(std::move(loads)) {}
  std::string UrlText() override { return FUrl; }
  std::string LoadsText() override { return FLoads; }
  void ClearResults() override {}
  bool LoadsConfirmed() override { return false; }
  void AskForConfirmation(const std::string&) override {}
  void SetCaption(const std::string&) override {}
  void SetTestEnabled(bool) override {}
  void AppendPage(const char*, int64_t) override {}
  int64_t PageCharCount() override { return kChars; }
  void ShowTotals(const std::string&, const std::string&, const std::string&) override {}
  void AppendHistory(const std::vector<std::string>&) override {}
  std::string ShortDateToday() override { return "today"; }
  char DecimalSeparator() override { return '.'; }

  static constexpr int64_t kChars = 6'000'000'007;  // beyond both 2^31 and 2^32

 private:
  std::string FUrl, FLoads;
};

TEST(SpeedRunCountTest, BytesAndSpeedBeyondThirtyTwoBits) {
  auto client = core::MakeComponent<http::THttpCli>(nullptr);
  app::ConfigureClient(*client);

  HugePaneView none("http://127.0.0.1:1/", "0");
  app::TSpeedResult r = app::RunSpeedTest(*client, none);
  EXPECT_EQ(r.bytes, HugePaneView::kChars);
  EXPECT_EQ(r.bytesText, "6000000007");

  // A late answer makes the time at least 20 ms, so the speed is a figure.
  ScriptedPeer peer;
  peer.SetDefaultScript(Script().ExpectRequest().Wait(Millis(20)).Send(HttpResponse(200, "x\n")).Close());
  HugePaneView one("http://" + peer.Address() + "/", "1");
  r = app::RunSpeedTest(*client, one);
  ASSERT_GE(r.totalMs, 20);
  EXPECT_EQ(r.bytesText, "6000000007");
  const long double speed = std::stold(r.speedText);
  EXPECT_NEAR(static_cast<double>(speed), 6000000007.0L * 1000 / r.totalMs,
              1e-3 * static_cast<double>(speed));
}

// A part a server sent on one load is no reason for the next load to ask for a
// part: each load of the run measures the whole page.
TEST(SpeedRunCountTest, EveryLoadAsksForTheWholePage) {
  auto client = core::MakeComponent<http::THttpCli>(nullptr);
  app::ConfigureClient(*client);
  ScriptedPeer peer;
  peer.SetDefaultScript(
      Script().ExpectRequest().Send(HttpResponse(206, "x\n", {"Content-Range: bytes 0-1/9"})).Close());
  HugePaneView view("http://" + peer.Address() + "/", "2");
  app::RunSpeedTest(*client, view);
  ASSERT_TRUE(peer.WaitForReceived(1, "\r\n\r\n"));
  EXPECT_EQ(peer.Received(1).find("Range:"), std::string::npos) << peer.Received(1);
}

}  // namespace
