// Generated historic bars, as the simulator puts them into its archives.
//
// One line per bar, comma-separated, LF-terminated:
//   intraday (code 1 or N > 1):  YYYYMMDD,HHMM,open,high,low,close,volume
//   daily (code -1):             YYYYMMDD,open,high,low,close,volume
// Trading days are Monday to Friday; intraday bars run from 10:00 to 17:00
// (the bar's start time). Prices are a random walk seeded by the symbol, so
// the same request gives the same bars.
#pragma once

#include <QByteArray>

namespace qxd::sim {

// At most this many bars go into one archive.
constexpr qsizetype MaxBars = 2'000'000;

// The bars of `symbol` at interval `code` between the dates d1 and d2 (OLE
// Automation dates, whole days). Empty when the range holds no trading day
// or the code names no series (0, or not 1, -1 or a whole number above 1).
QByteArray GenerateBars(const QByteArray& symbol, double code, double d1, double d2);

// The name of the series inside the archive: user + symbol + "~1M", "~day"
// or ".~" + N + "M".
QByteArray SeriesEntryName(const QByteArray& user, const QByteArray& symbol, double code);

} // namespace qxd::sim
