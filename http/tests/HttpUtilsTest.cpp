#include "http/HttpUtils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/SysUtils.h"

namespace http {
namespace {

TEST(FormatRFC1123, CalendarDates) {
  struct TCase {
    int y, m, d, h, n, s, ms;
    const char* want;
  };
  const TCase cases[] = {
      {1994, 11, 6, 8, 49, 37, 0, "Sun, 06 Nov 1994 08:49:37"},
      {2000, 1, 1, 0, 0, 0, 0, "Sat, 01 Jan 2000 00:00:00"},
      {2000, 2, 29, 23, 59, 59, 999, "Tue, 29 Feb 2000 23:59:59"},  // milliseconds are cut, not rounded up
      {1900, 3, 1, 12, 0, 0, 0, "Thu, 01 Mar 1900 12:00:00"},
      {1899, 12, 30, 0, 0, 0, 0, "Sat, 30 Dec 1899 00:00:00"},
      {1899, 12, 29, 6, 0, 0, 0, "Fri, 29 Dec 1899 06:00:00"},
      {1789, 7, 14, 12, 34, 56, 0, "Tue, 14 Jul 1789 12:34:56"},
      {1600, 2, 29, 0, 0, 1, 0, "Tue, 29 Feb 1600 00:00:01"},
      {1, 1, 1, 0, 0, 0, 0, "Mon, 01 Jan 0001 00:00:00"},
      {9999, 12, 31, 23, 59, 59, 0, "Fri, 31 Dec 9999 23:59:59"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatRFC1123(EncodeDateTime(c.y, c.m, c.d, c.h, c.n, c.s, c.ms)), c.want);
  }
}

// Before day 0 the whole part counts backwards while the fraction still adds
// the time of day.
TEST(FormatRFC1123, RawDayNumbers) {
  EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0), -1.25);
  EXPECT_EQ(FormatRFC1123(0.0), "Sat, 30 Dec 1899 00:00:00");
  EXPECT_EQ(FormatRFC1123(1.5), "Sun, 31 Dec 1899 12:00:00");
  EXPECT_EQ(FormatRFC1123(-1.25), "Fri, 29 Dec 1899 06:00:00");
  EXPECT_EQ(FormatRFC1123(-7.0), "Sat, 23 Dec 1899 00:00:00");
  // A hair before midnight rounds to the next day's midnight, not to "24:00:00".
  EXPECT_EQ(FormatRFC1123(1.0 - 1e-10), "Sun, 31 Dec 1899 00:00:00");
}

TEST(FormatRFC1123, UnusableValuesGiveNoText) {
  EXPECT_EQ(FormatRFC1123(std::nan("")), "");
  EXPECT_EQ(FormatRFC1123(INFINITY), "");
  EXPECT_EQ(FormatRFC1123(-1e300), "");
}

TEST(EncodeDateTime, RefusesDatesThatDoNotExist) {
  EXPECT_THROW(EncodeDate(1900, 2, 29), core::EConvertError);
  EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
  EXPECT_THROW(EncodeDate(2023, 13, 1), core::EConvertError);
  EXPECT_THROW(EncodeDate(0, 1, 1), core::EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), core::EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 60, 0), core::EConvertError);
}

TEST(AdjustDocName, NamesFromPaths) {
  EXPECT_EQ(AdjustDocName("/"), "document.htm");
  EXPECT_EQ(AdjustDocName(""), "document.htm");
  EXPECT_EQ(AdjustDocName("?x=1"), "document.htm");
  EXPECT_EQ(AdjustDocName("/dir/"), "document.htm");
  EXPECT_EQ(AdjustDocName("/dir/?next=/a/b.htm"), "document.htm");
  EXPECT_EQ(AdjustDocName("/dir/page.asp?x=1"), "page.asp");
  EXPECT_EQ(AdjustDocName("/a/b"), "b");
  EXPECT_EQ(AdjustDocName("page"), "page");
  EXPECT_EQ(AdjustDocName("/" + std::string(300, 'n')), std::string(255, 'n'));
}

TEST(AdjustDocNameExt, HtmlDocumentsGetHtm) {
  EXPECT_EQ(AdjustDocNameExt("run.exe", "text/html"), "run.htm");
  EXPECT_EQ(AdjustDocNameExt("RUN.EXE", "text/html"), "RUN.htm");
  EXPECT_EQ(AdjustDocNameExt("a.b.exe", "text/html"), "a.b.htm");
  EXPECT_EQ(AdjustDocNameExt("page", "text/html"), "page.htm");
  EXPECT_EQ(AdjustDocNameExt("page.asp", "text/html"), "page.asp");
  EXPECT_EQ(AdjustDocNameExt("archive.", "text/html"), "archive.");
  EXPECT_EQ(AdjustDocNameExt("run.exe", "text/plain"), "run.exe");
  EXPECT_EQ(AdjustDocNameExt("page", ""), "page");
}

}  // namespace
}  // namespace http
