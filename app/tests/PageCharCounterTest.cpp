// The counting stream must agree with the page pane's line splitting for every
// page and however the page is cut into writes.
#include <gtest/gtest.h>

#include <string>

#include "app/PageCharCounter.h"
#include "app/SpeedTest.h"
#include "core/SysUtils.h"

namespace app {
namespace {

int64_t PaneChars(const std::string& page) {
  return SplitPageLines(page.data(), static_cast<int64_t>(page.size())).CharCount();
}

// Every cut into two writes, and byte by byte.
void ExpectAgreesAtEverySplit(const std::string& page) {
  const int64_t expected = PaneChars(page);
  for (size_t cut = 0; cut <= page.size(); ++cut) {
    TPageCharCounter c;
    c.Write(page.data(), static_cast<int64_t>(cut));
    c.Write(page.data() + cut, static_cast<int64_t>(page.size() - cut));
    ASSERT_EQ(c.CharCount(), expected) << "cut at " << cut << " of " << ::testing::PrintToString(page);
    ASSERT_EQ(c.Size(), static_cast<int64_t>(page.size()));
  }
  TPageCharCounter bytes;
  for (char ch : page) bytes.Write(&ch, 1);
  ASSERT_EQ(bytes.CharCount(), expected) << ::testing::PrintToString(page);
}

TEST(PageCharCounter, AgreesWithTheLineSplitter) {
  using namespace std::string_literals;
  for (const std::string& page : {""s, "a"s, "abc"s, "a\n"s, "a\r\n"s, "a\r"s, "\n\n"s, "\r\r\n"s,
                                  "\r\n\r\n"s, "\n\r"s, "ab\0cd\nef"s, "\0"s, "\0\0\n"s, "x\0\r\n\0"s,
                                  "line one\r\nline two\nthree\rfour"s, std::string(3000, 'z') + "\r"}) {
    ExpectAgreesAtEverySplit(page);
  }
}

// All pages of up to six bytes drawn from text, zero, CR and LF.
// Longer pages, so line ends and zero bytes fall at every place of the 64-byte
// blocks the counter looks at, and cuts fall inside and between blocks.
TEST(PageCharCounter, AgreesOnLongerPages) {
  uint32_t seed = 777;
  auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 8; };
  constexpr char kAlphabet[] = {'\r', '\n', '\0', 'a', 'b', 'c', 'd', 'e', 'f', 'g'};
  for (int round = 0; round < 40; ++round) {
    std::string page(130 + next() % 70, 'x');
    for (char& c : page) c = kAlphabet[next() % (round % 2 ? 4 : 10)];
    ExpectAgreesAtEverySplit(page);
  }
}

TEST(PageCharCounter, AgreesOnEverySmallPage) {
  constexpr char kAlphabet[] = {'a', '\0', '\r', '\n'};
  for (int length = 0; length <= 6; ++length) {
    int total = 1;
    for (int i = 0; i < length; ++i) total *= 4;
    for (int code = 0; code < total; ++code) {
      std::string page;
      for (int i = 0, c = code; i < length; ++i, c /= 4) page += kAlphabet[c % 4];
      ExpectAgreesAtEverySplit(page);
    }
  }
}

TEST(PageCharCounter, EmptyingStartsAfreshAndGrowingAddsZeroBytes) {
  TPageCharCounter c;
  c.Write("moved\r", 6);
  c.SetSize(0);
  EXPECT_EQ(c.CharCount(), 0);
  c.Write("\nab", 3);  // the LF no longer belongs to a CR
  EXPECT_EQ(c.CharCount(), PaneChars("\nab"));
  c.SetSize(5);
  EXPECT_EQ(c.Size(), 5);
  EXPECT_EQ(c.CharCount(), PaneChars(std::string("\nab\0\0", 5)));
  EXPECT_THROW(c.SetSize(2), core::EStreamError);
  EXPECT_EQ(c.Seek(0, core::TSeekOrigin::soBeginning), 5);
}

}  // namespace
}  // namespace app
