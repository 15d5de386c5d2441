// The counting stream must agree with the page pane's line splitting for every
// page and however the page is cut into writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/PageCharCounter.h"
#include "app/SpeedRun.h"
#include "core/SysUtils.h"

namespace app {
namespace {

int64_t PaneChars(const std::string& page) {
  return SplitPageLines(page.data(), static_cast<int64_t>(page.size())).CharCount();
}

// Every cut into two writes, and byte by byte, with each block kernel this
// processor runs (the fastest is the one in use; the others are its fallbacks).
void ExpectAgreesAtEverySplit(const std::string& page) {
  const int64_t expected = PaneChars(page);
  for (const TPageCountKernel& kernel : PageCountKernels()) {
    SCOPED_TRACE(kernel.name);
    for (size_t cut = 0; cut <= page.size(); ++cut) {
      TPageCharCounter c(kernel.take);
      c.Write(page.data(), static_cast<int64_t>(cut));
      c.Write(page.data() + cut, static_cast<int64_t>(page.size() - cut));
      ASSERT_EQ(c.CharCount(), expected) << "cut at " << cut << " of " << ::testing::PrintToString(page);
      ASSERT_EQ(c.Size(), static_cast<int64_t>(page.size()));
    }
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

// Random pages long enough that line ends and zero bytes fall at every place of
// the 64-byte blocks the counter works on, and cuts fall inside and between
// blocks. Each mix draws a byte from the breaks (CR, LF, zero) one time in
// `breakOneIn`, else any byte value: from pages made mostly of breaks to binary
// data, where a block holds a few at random places.
TEST(PageCharCounter, AgreesOnRandomBytes) {
  uint32_t seed = 777;
  auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 8; };
  constexpr char kBreaks[] = {'\r', '\n', '\0'};
  struct Mix {
    uint32_t breakOneIn;
    int breaks;  // the first `breaks` of kBreaks are drawn
  };
  for (const Mix mix :
       {Mix{1, 3}, Mix{2, 3}, Mix{4, 2}, Mix{4, 3}, Mix{16, 3}, Mix{64, 3}, Mix{1000000, 3}}) {
    for (int round = 0; round < 12; ++round) {
      std::string page(130 + next() % 200, 'x');
      for (char& c : page)
        c = next() % mix.breakOneIn == 0 ? kBreaks[next() % mix.breaks] : static_cast<char>(next());
      ExpectAgreesAtEverySplit(page);
    }
  }
}

// A large binary page in writes of random sizes, as a socket hands it over.
TEST(PageCharCounter, AgreesOnALargePageInRandomWrites) {
  uint32_t seed = 4242;
  auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 8; };
  std::string page(1 << 20, 'x');
  for (char& c : page) c = static_cast<char>(next());
  const int64_t expected = PaneChars(page);
  for (const TPageCountKernel& kernel : PageCountKernels()) {
    TPageCharCounter c(kernel.take);
    for (size_t at = 0; at < page.size();) {
      const size_t n = std::min<size_t>(1 + next() % 5000, page.size() - at);
      c.Write(page.data() + at, static_cast<int64_t>(n));
      at += n;
    }
    EXPECT_EQ(c.CharCount(), expected) << kernel.name;
  }
}

// All pages of up to six bytes drawn from text, zero, CR and LF.
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
