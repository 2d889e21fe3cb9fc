// Conversions used across the client: the numeric reading of a text, integer
// storing with banker's rounding, the written number and date patterns, and
// OLE Automation dates (days since 30 December 1899, time as the fraction).
//
// Every text here is 8-bit: one byte is one character. Nothing goes through
// Unicode.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

namespace qxd {

// The numeric reading. Blanks, tabs and line feeds are skipped anywhere in
// the text; then an optional sign, decimal digits with at most one "." and an
// optional exponent (E, e, D or d, optional sign, digits) are read as a
// double. Reading stops at the first byte that cannot continue the number;
// a text without a leading number reads as 0. "&H" / "&O" (either case) read
// the rest as a hexadecimal / octal integer. A value beyond a double's range
// reads as an infinity of its sign.
double Val(QByteArrayView text);

// The conversion of a whole text to a number: blanks around it are allowed,
// but everything else must be one number as the numeric reading reads it
// (no blanks inside, no trailing text). Nothing for an empty text or one
// that is not a number.
std::optional<double> WholeNumber(QByteArrayView text);

// Rounds to the nearest integer, halves to the even neighbour. Returns
// nothing when the value is not a number or the rounded value lies outside
// the target's range; each caller decides what that means for it.
double RoundHalfEven(double v);
std::optional<std::int16_t> ToInt16(double v);
std::optional<std::int32_t> ToInt32(double v);

// Storing into a 16-bit integer where out-of-range values are clamped to the
// nearest end of the range (NaN gives 0).
std::int16_t ToInt16Clamped(double v);

// Narrowing to a 32-bit float: values beyond its range become infinities of
// their sign rather than undefined behaviour.
float ToFloat(double v);

// The written pattern "0": plain decimal digits, a leading "-" when the
// rounded value is negative, no separators, no decimals. A fraction is
// rounded to the nearest whole number, halves away from zero.
QByteArray FormatZero(double v);
QByteArray FormatZero(std::int64_t v);

struct CivilDate {
    int year = 0;
    int month = 0; // 1..12
    int day = 0;   // 1..31
    bool operator==(const CivilDate&) const = default;
};

// The range of dates that a date serial may name: 1 January 100 to
// 31 December 9999.
constexpr int MinYear = 100;
constexpr int MaxYear = 9999;

// Date serial of a calendar date. Years 0 to 29 are read as 2000 to 2029 and
// years 30 to 99 as 1930 to 1999 (two-digit years); other years are taken as
// they are. Months outside 1..12 carry into neighbouring years, and days
// outside the month carry into neighbouring months (day 0 is the last day of
// the previous month). Returns nothing when the resulting date lies outside
// MinYear..MaxYear.
std::optional<double> DateSerial(int year, int month, int day);

// (hour * 3600 + minute * 60 + second) / 86400; carries past midnight freely.
double TimeSerial(int hour, int minute, int second);

// The calendar date that a serial falls on. The serial is first rounded to
// the nearest second, so 23:59:59.9 belongs to the next day. Returns nothing
// for NaN, infinities and dates outside MinYear..MaxYear.
std::optional<CivilDate> SerialToDate(double serial);

// "YYYYMMDD" of a serial; nothing when SerialToDate gives nothing.
std::optional<QByteArray> FormatYYYYMMDD(double serial);

// "hh:mm:ss" (24-hour, two digits each).
QByteArray FormatHMS(int hour, int minute, int second);

// "hh:mm:ss" of the local clock, now.
QByteArray LocalClockHMS();

// The system's text for an errno value.
QString ErrnoText(int e);

} // namespace qxd
