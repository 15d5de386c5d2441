// Date-time and document-name helpers of the HTTP client.
//
// Date-times are TDateTime values: a double counting days since 30 December 1899,
// whose fraction is the time of day. Before that day the whole part counts
// backwards and the fraction still adds the time of day in magnitude (-1.25 is
// 29 December 1899 06:00), which is what EncodeDateTime produces.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace http {

// The day number of a calendar date (proleptic Gregorian). Raises
// core::EConvertError for a date that does not exist or lies outside years 1..9999.
double EncodeDate(int year, int month, int day);
// The fraction of a day; raises core::EConvertError for an invalid time.
double EncodeTime(int hour, int min, int sec, int msec);
double EncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec = 0);

// "Sun, 06 Nov 1994 08:49:37": day name, day, month name, year, time; no time
// zone conversion (the caller appends " GMT"). Any day, also before 1900, gets
// its true day name. A value that is not finite or lies beyond about a million
// years gives an empty text.
std::string FormatRFC1123(double dateTime);

// The document name of a request path: cut at the first "?"; "document.htm" when
// nothing or a directory is left; otherwise the text after the last "/" (at most
// 255 characters).
std::string AdjustDocName(const std::string& path);

// The document name to keep for a response with a body: a name whose extension is
// ".exe" (in any case) or missing gets the extension "htm" when contentType (the
// lower-cased field value) is "text/html"; any other name comes back unchanged.
std::string AdjustDocNameExt(const std::string& docName, const std::string& contentType);

}  // namespace http
