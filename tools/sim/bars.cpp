#include "sim/bars.h"

#include "wire/convert.h"

#include <QRandomGenerator>

#include <cmath>
#include <cstdio>

namespace qxd::sim {

namespace {

quint32 seedOf(const QByteArray& s) {
    quint32 h = 2166136261u;
    for (char c : s) h = (h ^ quint8(c)) * 16777619u;
    return h;
}

bool wholeAbove1(double code) {
    return code > 1 && code == std::floor(code) && code <= 1440;
}

} // namespace

QByteArray SeriesEntryName(const QByteArray& user, const QByteArray& symbol, double code) {
    if (code == 1) return user + symbol + "~1M";
    if (code == -1) return user + symbol + "~day";
    return user + symbol + ".~" + FormatZero(code) + "M";
}

QByteArray GenerateBars(const QByteArray& symbol, double code, double d1, double d2) {
    const bool daily = code == -1;
    if (!daily && code != 1 && !wholeAbove1(code)) return {};
    const int step = daily ? 0 : int(code);
    QRandomGenerator rng(seedOf(symbol));
    double price = 10 + rng.bounded(90.0);
    QByteArray out;
    qsizetype bars = 0;
    char line[128];
    for (double day = std::floor(d1); day <= std::floor(d2) && bars < MaxBars; day += 1) {
        const auto dow = (((static_cast<long long>(day) - 1) % 7) + 7) % 7; // 0 Sunday
        if (dow == 0 || dow == 6) continue;
        const auto date = FormatYYYYMMDD(day);
        if (!date) continue;
        auto bar = [&](int len, int hhmm) {
            const double open = price;
            double hi = open, lo = open;
            for (int i = 0; i < 3; ++i) {
                price *= 1 + (rng.generateDouble() - 0.5) * 0.004 * std::sqrt(double(len));
                hi = std::max(hi, price);
                lo = std::min(lo, price);
            }
            const int vol = 100 * int(1 + rng.bounded(50 * len));
            int n;
            if (hhmm < 0)
                n = std::snprintf(line, sizeof line, "%s,%.2f,%.2f,%.2f,%.2f,%d\n",
                                  date->constData(), open, hi, lo, price, vol);
            else
                n = std::snprintf(line, sizeof line, "%s,%04d,%.2f,%.2f,%.2f,%.2f,%d\n",
                                  date->constData(), hhmm, open, hi, lo, price, vol);
            out.append(line, n);
            ++bars;
        };
        if (daily) {
            bar(420, -1);
            continue;
        }
        for (int m = 10 * 60; m < 17 * 60 && bars < MaxBars; m += step)
            bar(step, (m / 60) * 100 + m % 60);
    }
    return out;
}

} // namespace qxd::sim
