#include "http/HttpUtils.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "core/SysUtils.h"

namespace http {

namespace {

constexpr int64_t kMSecsPerDay = 86400000;
// Day 0 (30 December 1899) lies this many days before 1 January 1970.
constexpr int64_t kUnixEpochDay = 25569;
// About a million years: keeps every intermediate value far inside int64.
constexpr double kMaxDays = 3.6e8;

struct TCivilDate {
  int64_t year;
  int month;
  int day;
};

// Days since 1 January 1970 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

TCivilDate CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

bool IsLeapYear(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Floor modulo: the weekday of a day before day 0 must still index the table.
int64_t FloorMod(int64_t a, int64_t n) {
  const int64_t r = a % n;
  return r < 0 ? r + n : r;
}

}  // namespace

double EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
    throw core::EConvertError("Invalid argument to date encode");
  }
  return static_cast<double>(DaysFromCivil(year, month, day) + kUnixEpochDay);
}

double EncodeTime(int hour, int min, int sec, int msec) {
  if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999) {
    throw core::EConvertError("Invalid argument to time encode");
  }
  const int64_t ms = ((static_cast<int64_t>(hour) * 60 + min) * 60 + sec) * 1000 + msec;
  return static_cast<double>(ms) / static_cast<double>(kMSecsPerDay);
}

double EncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec) {
  const double date = EncodeDate(year, month, day);
  const double time = EncodeTime(hour, min, sec, msec);
  return date < 0 ? date - time : date + time;
}

std::string FormatRFC1123(double dateTime) {
  static constexpr char kDayNames[] = "MonTueWedThuFriSatSun";
  static constexpr char kMonthNames[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (!std::isfinite(dateTime) || std::fabs(dateTime) > kMaxDays) return {};

  int64_t days = static_cast<int64_t>(std::trunc(dateTime));
  int64_t msOfDay = std::llround(std::fabs(dateTime - static_cast<double>(days)) * kMSecsPerDay);
  if (msOfDay >= kMSecsPerDay) {  // rounded up to the next midnight
    msOfDay -= kMSecsPerDay;
    ++days;
  }
  const TCivilDate date = CivilFromDays(days - kUnixEpochDay);
  const int64_t secs = msOfDay / 1000;
  const auto dayName = static_cast<size_t>(FloorMod(days - 2, 7)) * 3;
  const auto monthName = static_cast<size_t>(date.month - 1) * 3;

  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3s, %2.2d %.3s %4.4lld %2.2d:%2.2d:%2.2d", kDayNames + dayName, date.day,
                kMonthNames + monthName, static_cast<long long>(date.year), static_cast<int>(secs / 3600),
                static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  return buf;
}

std::string AdjustDocName(const std::string& path) {
  std::string name = path;
  const int64_t query = core::Pos("?", name);
  if (query > 0) name = core::Copy(name, 1, query - 1);
  if (name.empty() || name.back() == '/') return "document.htm";
  return core::Copy(name, core::LastPos("/", name) + 1, 255);
}

std::string AdjustDocNameExt(const std::string& docName, const std::string& contentType) {
  if (contentType != "text/html") return docName;
  const int64_t dot = core::LastPos(".", docName);
  if (dot == 0) return docName + ".htm";
  if (!core::SameText(core::Copy(docName, dot, INT64_MAX), ".exe")) return docName;
  return core::Copy(docName, 1, dot) + "htm";
}

}  // namespace http
