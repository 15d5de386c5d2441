// The text side of the speed-test run: how a page becomes pane lines, how the
// speed is written, and the report's lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/SpeedRun.h"
#include "core/Classes.h"

namespace {

using Lines = std::vector<std::string>;

Lines Split(const std::string& s) {
  return app::SplitPageLines(s.data(), static_cast<int64_t>(s.size())).ToVector();
}

TEST(SplitPageLinesTest, EachTerminatorEndsOneLine) {
  EXPECT_EQ(Split("a\r\nb\rc\nd"), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(Split("a\n\r"), (Lines{"a", ""}));  // LF then CR ends two lines
  EXPECT_EQ(Split("a\r\n"), (Lines{"a"}));      // no trailing empty line
  EXPECT_EQ(Split("\r\n\r\n"), (Lines{"", ""}));
  EXPECT_EQ(Split("0123456789"), (Lines{"0123456789"}));
  EXPECT_EQ(Split(""), Lines{});
  EXPECT_EQ(app::SplitPageLines(nullptr, 5).Count(), 0u);
}

TEST(SplitPageLinesTest, ZeroByteEndsTheLineText) {
  const std::string page("ab\0cd\nef", 8);
  EXPECT_EQ(Split(page), (Lines{"ab", "ef"}));
}

// The plain byte-by-byte reading of the rules, to check the word-at-a-time scan.
Lines ReferenceSplit(const std::string& d) {
  Lines r;
  size_t start = 0;
  while (start < d.size()) {
    size_t end = start;
    while (end < d.size() && d[end] != '\r' && d[end] != '\n') ++end;
    size_t textEnd = start;
    while (textEnd < end && d[textEnd] != '\0') ++textEnd;
    r.push_back(d.substr(start, textEnd - start));
    start = (end + 1 < d.size() && d[end] == '\r' && d[end + 1] == '\n') ? end + 2 : end + 1;
  }
  return r;
}

// Pages up to a few hundred bytes, so line ends fall at every place of the 64-byte
// blocks the splitter looks at, and a CR LF or a run of zero bytes straddles two;
// every page is also appended after another, which must not change its lines.
TEST(SplitPageLinesTest, AgreesWithTheRulesOnRandomPages) {
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  const char alphabet[] = {'a', 'b', '\r', '\n', '\0', 'x', 'y', 'z', 'q', ' '};
  for (int round = 0; round < 3000; ++round) {
    std::string page(next() % (round % 3 ? 70 : 300), 'a');
    // Line ends and zero bytes everywhere, among text, or rare in long text.
    const uint32_t kinds = round % 2 ? 10 : 5;
    for (char& c : page) c = alphabet[(next() >> 8) % kinds];
    if (round % 4 == 3)
      for (char& c : page) c = (next() >> 8) % 50 ? 'x' : alphabet[2 + (next() >> 8) % 3];
    const Lines expected = ReferenceSplit(page);
    ASSERT_EQ(Split(page), expected) << "round " << round;
    app::TPageLines after = app::SplitPageLines("first\r\nsecond", 14);
    after.AppendPage(page.data(), static_cast<int64_t>(page.size()));
    Lines both{"first", "second"};
    both.insert(both.end(), expected.begin(), expected.end());
    ASSERT_EQ(after.ToVector(), both) << "round " << round;
  }
}

TEST(SplitPageLinesTest, HighBytesAreKeptAsTheyAre) {
  const std::string page("\xff\xe9\x80\n", 4);
  EXPECT_EQ(Split(page), (Lines{"\xff\xe9\x80"}));
}

TEST(PageLinesTest, CountsTwoCharactersPerLineAndJoinsWithCrLf) {
  app::TPageLines all;
  const std::string page = "0123456789";
  all.Append(app::SplitPageLines(page.data(), 10));
  all.Append(app::SplitPageLines(page.data(), 10));
  EXPECT_EQ(all.CharCount(), 24);  // two loads of a 10-character line
  EXPECT_EQ(all.CrLfText(), "0123456789\r\n0123456789\r\n");
  EXPECT_EQ(all.Line(1), "0123456789");
  all.Clear();
  EXPECT_EQ(all.CrLfText(), "");
}

// The first page's block is taken from the stream, not copied; the stream gets
// the block the lines held, and later pages are copied after the first.
TEST(PageLinesTest, AReceivedPageIsTakenOverWhenTheLinesAreEmpty) {
  app::TPageLines lines = app::SplitPageLines("old\n", 4);
  lines.Clear();
  core::TMemoryStream stream;
  stream.WriteBuffer("a\r\nb", 4);
  const char* block = stream.Memory();
  lines.AppendReceived(stream);
  EXPECT_EQ(lines.ToVector(), (Lines{"a", "b"}));
  EXPECT_EQ(lines.Line(0).data(), block);  // no copy
  EXPECT_NE(stream.Memory(), block);       // the lines' old block, or none
  EXPECT_EQ(stream.Size(), 0);
  stream.WriteBuffer("c\nd", 3);
  lines.AppendReceived(stream);
  EXPECT_EQ(lines.ToVector(), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(lines.CharCount(), 12);
  stream.SetSize(0);
  lines.AppendReceived(stream);  // an empty page adds nothing
  EXPECT_EQ(lines.Count(), 4u);
}

// A line's length is kept in 24 bits; longer lines keep it apart, in order with
// the short ones around them, and across Append and copies.
TEST(PageLinesTest, LinesLongerThanTheIndexHoldsKeepTheirLength) {
  const std::string longLine((size_t{1} << 24) + 5, 'x');
  const std::string page = "a\n" + longLine + "\nb\n" + longLine + "y\n";
  app::TPageLines lines = app::SplitPageLines(page.data(), static_cast<int64_t>(page.size()));
  app::TPageLines twice = lines;
  twice.Append(lines);
  for (const app::TPageLines* l : {&lines, &twice}) {
    ASSERT_EQ(l->Count() % 4, 0u);
    for (size_t base = 0; base < l->Count(); base += 4) {
      EXPECT_EQ(l->Line(base), "a");
      EXPECT_EQ(l->Line(base + 1).size(), longLine.size());
      EXPECT_EQ(l->Line(base + 2), "b");
      EXPECT_EQ(l->Line(base + 3).size(), longLine.size() + 1);
      EXPECT_EQ(l->Line(base + 3).back(), 'y');
    }
    EXPECT_EQ(l->LongestLine(), longLine.size() + 1);
  }
}

TEST(FormatGeneralTest, FifteenSignificantDigitsNoTrailingZeros) {
  EXPECT_EQ(app::FormatGeneral(8000, '.'), "8000");
  EXPECT_EQ(app::FormatGeneral(1234.0L / 7 * 1000, '.'), "176285.714285714");
  EXPECT_EQ(app::FormatGeneral(1234.0L / 7 * 1000, ','), "176285,714285714");
  EXPECT_EQ(app::FormatGeneral(0.5, '.'), "0.5");
  EXPECT_EQ(app::FormatGeneral(0.00001L, '.'), "0.00001");
  EXPECT_EQ(app::FormatGeneral(0.0000015L, '.'), "1.5E-6");
  EXPECT_EQ(app::FormatGeneral(1e20L, '.'), "1E20");
  EXPECT_EQ(app::FormatGeneral(999999999999999.9L, '.'), "1E15");
  EXPECT_EQ(app::FormatGeneral(0, '.'), "0");
}

TEST(ReportTest, SevenLinesInOrder) {
  app::TSpeedResult r;
  r.timeText = "0";
  r.bytesText = "0";
  r.speedText = "Error!";
  const auto lines = app::HistoryLines("http://x/", "07/12/2026", " 0", r);
  EXPECT_EQ(lines, (Lines{"URL: http://x/", "Test date: 07/12/2026", "Number of loads:  0", "Time: 0 ms.",
                          "Bytes downloaded: 0", "Average Speed: Error! bps.", "----------"}));
  EXPECT_EQ(
      app::ConfirmationMessage("101"),
      "You entered quite big number of page loads (101). If this is not a mistake and you really want to "
      "perform so much downloads, please check the <I confirm this number> checkbox ");
}

}  // namespace
