#include "wire/convert.h"

#include <cstring>

#include <QTime>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <string>

namespace qxd {

namespace {

inline bool isSkipped(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}
inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// strtod follows the process locale (Qt sets it from the environment), so the
// decimal text is converted under a fixed "C" locale instead.
locale_t cLocale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// Reads "&H..." / "&O..." after the ampersand; `pos` points past it.
double readRadix(QByteArrayView s, qsizetype pos) {
    auto skip = [&] {
        while (pos < s.size() && isSkipped(s[pos])) ++pos;
    };
    skip();
    if (pos >= s.size()) return 0;
    const char kind = s[pos++];
    int radix;
    if (kind == 'H' || kind == 'h')
        radix = 16;
    else if (kind == 'O' || kind == 'o')
        radix = 8;
    else
        return 0;
    double v = 0;
    for (;;) {
        skip();
        if (pos >= s.size()) break;
        const char c = s[pos];
        int digit;
        if (isDigit(c))
            digit = c - '0';
        else if (radix == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (radix == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            break;
        if (digit >= radix) break;
        v = v * radix + digit;
        ++pos;
    }
    return v;
}

} // namespace

namespace {
constexpr double Pow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
} // namespace

double Val(QByteArrayView s) {
    // The form almost every field of a quote has, [-]digits[.digits] and
    // nothing else, with at most 15 digits: exact as mantissa / 10^k.
    {
        const char* p = s.data();
        const char* const e = p + s.size();
        const bool neg = p < e && *p == '-';
        p += neg;
        std::uint64_t mant = 0;
        int digits = 0, frac = 0;
        bool point = false;
        for (; p < e; ++p) {
            const unsigned d = unsigned(*p) - '0';
            if (d < 10) {
                mant = mant * 10 + d;
                ++digits;
                frac += point;
            } else if (*p == '.' && !point) {
                point = true;
            } else {
                break;
            }
        }
        if (p == e && digits > 0 && digits <= 15) {
            const double v = double(mant) / Pow10[frac];
            return neg ? -v : v;
        }
    }

    qsizetype pos = 0;
    const qsizetype n = s.size();
    auto peek = [&]() -> char {
        while (pos < n && isSkipped(s[pos])) ++pos;
        return pos < n ? s[pos] : '\0';
    };

    char c = peek();
    if (c == '&') return readRadix(s, pos + 1);

    // Normalised copy of the number for strtod: [-]digits[.digits][e[-]digits].
    // Short plain decimals (at most 15 digits, no exponent) are exact as
    // mantissa / 10^k and skip it.
    char small[64];
    std::string big;
    std::size_t len = 0;
    auto put = [&](char ch) {
        if (len < sizeof small - 1)
            small[len++] = ch;
        else {
            if (big.empty()) big.assign(small, len);
            big.push_back(ch);
            ++len;
        }
    };
    bool neg = false;
    if (c == '+' || c == '-') {
        neg = c == '-';
        if (neg) put('-');
        ++pos;
    }
    std::uint64_t mant = 0;
    int digits = 0, frac = 0;
    bool point = false;
    while (pos < n) {
        c = peek();
        if (isDigit(c)) {
            put(c);
            if (digits < 19) mant = mant * 10 + std::uint64_t(c - '0');
            ++digits;
            frac += point;
        } else if (c == '.' && !point) {
            put('.');
            point = true;
        } else {
            break;
        }
        ++pos;
    }
    if (digits == 0) return 0;

    bool exponent = false;
    c = peek();
    if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
        const qsizetype save = pos;
        const std::size_t saveLen = len;
        ++pos;
        put('e');
        c = peek();
        if (c == '+' || c == '-') {
            if (c == '-') put('-');
            ++pos;
        }
        while (isDigit(c = peek())) {
            put(c);
            exponent = true;
            ++pos;
        }
        if (!exponent) {
            pos = save;
            len = saveLen;
            if (!big.empty()) big.resize(len);
        }
    }
    if (!exponent && digits <= 15) {
        const double v = double(mant) / Pow10[frac];
        return neg ? -v : v;
    }
    if (big.empty()) {
        small[len] = '\0';
        return strtod_l(small, nullptr, cLocale());
    }
    return strtod_l(big.c_str(), nullptr, cLocale());
}

std::optional<double> WholeNumber(QByteArrayView s) {
    qsizetype b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    const QByteArrayView t = s.sliced(b, e - b);
    qsizetype i = 0;
    const qsizetype n = t.size();
    auto digits = [&](bool hex, bool oct) {
        const qsizetype from = i;
        while (i < n) {
            const char c = t[i];
            const bool ok = hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                                : (oct ? c >= '0' && c <= '7' : isDigit(c));
            if (!ok) break;
            ++i;
        }
        return i - from;
    };
    if (n >= 2 && t[0] == '&') {
        const char k = t[1];
        i = 2;
        if (k == 'H' || k == 'h') {
            if (digits(true, false) == 0 || i != n) return std::nullopt;
        } else if (k == 'O' || k == 'o') {
            if (digits(false, true) == 0 || i != n) return std::nullopt;
        } else {
            return std::nullopt;
        }
        return Val(t);
    }
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    qsizetype mant = digits(false, false);
    if (i < n && t[i] == '.') {
        ++i;
        mant += digits(false, false);
    }
    if (mant == 0) return std::nullopt;
    if (i < n && (t[i] == 'E' || t[i] == 'e' || t[i] == 'D' || t[i] == 'd')) {
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
        if (digits(false, false) == 0) return std::nullopt;
    }
    if (i != n) return std::nullopt;
    return Val(t);
}

double RoundHalfEven(double v) {
    if (!std::isfinite(v)) return v;
    const double f = std::floor(v);
    const double diff = v - f;
    if (diff < 0.5) return f;
    if (diff > 0.5) return f + 1;
    return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

std::optional<std::int16_t> ToInt16(double v) {
    const double r = RoundHalfEven(v);
    if (!(r >= -32768.0 && r <= 32767.0)) return std::nullopt; // also NaN
    return static_cast<std::int16_t>(r);
}

std::optional<std::int32_t> ToInt32(double v) {
    const double r = RoundHalfEven(v);
    if (!(r >= -2147483648.0 && r <= 2147483647.0)) return std::nullopt;
    return static_cast<std::int32_t>(r);
}

std::int16_t ToInt16Clamped(double v) {
    if (std::isnan(v)) return 0;
    const double r = RoundHalfEven(v);
    if (r < -32768.0) return -32768;
    if (r > 32767.0) return 32767;
    return static_cast<std::int16_t>(r);
}

float ToFloat(double v) {
    // IEEE rounding takes values up to half an ulp above the largest float
    // (2^103 there; the tie goes to the even neighbour, infinity) to it.
    constexpr double fmax = std::numeric_limits<float>::max();
    constexpr double overflow = fmax + 0x1p103;
    if (v >= overflow) return std::numeric_limits<float>::infinity();
    if (v <= -overflow) return -std::numeric_limits<float>::infinity();
    if (v > fmax) return std::numeric_limits<float>::max();
    if (v < -fmax) return -std::numeric_limits<float>::max();
    return static_cast<float>(v);
}

QByteArray FormatZero(std::int64_t v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return QByteArray(buf, res.ptr - buf);
}

QByteArray FormatZero(double v) {
    if (!std::isfinite(v))
        return std::isnan(v) ? QByteArray("NaN") : QByteArray(v > 0 ? "Inf" : "-Inf");
    double r = std::round(v); // halves away from zero
    if (r == 0) r = 0;        // no "-0"
    if (std::fabs(r) < 9.2e18) return FormatZero(static_cast<std::int64_t>(r));
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, r, std::chars_format::fixed, 0);
    return QByteArray(buf, res.ptr - buf);
}

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

CivilDate civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

// 1899-12-30 counted from 1970-01-01.
const std::int64_t kOleEpoch = daysFromCivil(1899, 12, 30);
const std::int64_t kMinDay = daysFromCivil(MinYear, 1, 1) - kOleEpoch;
const std::int64_t kMaxDay = daysFromCivil(MaxYear, 12, 31) - kOleEpoch;

} // namespace

std::optional<double> DateSerial(int year, int month, int day) {
    std::int64_t y = year;
    if (y >= 0 && y <= 29)
        y += 2000;
    else if (y >= 30 && y <= 99)
        y += 1900;
    // Carry the month into the year.
    std::int64_t m0 = static_cast<std::int64_t>(month) - 1;
    std::int64_t carry = m0 >= 0 ? m0 / 12 : -((-m0 + 11) / 12);
    y += carry;
    m0 -= carry * 12;
    if (y < -1000000 || y > 1000000) return std::nullopt;
    const std::int64_t serial = daysFromCivil(y, static_cast<unsigned>(m0 + 1), 1) - kOleEpoch +
                                (static_cast<std::int64_t>(day) - 1);
    if (serial < kMinDay || serial > kMaxDay) return std::nullopt;
    return static_cast<double>(serial);
}

double TimeSerial(int hour, int minute, int second) {
    return (static_cast<double>(hour) * 3600.0 + static_cast<double>(minute) * 60.0 + second) /
           86400.0;
}

std::optional<CivilDate> SerialToDate(double serial) {
    if (!std::isfinite(serial)) return std::nullopt;
    if (serial < static_cast<double>(kMinDay) - 1 || serial > static_cast<double>(kMaxDay) + 1)
        return std::nullopt;
    // The day is the whole part; the fraction is the time of that day, also
    // for negative serials (-1.25 is 29 December 1899, 06:00).
    double whole = std::trunc(serial);
    const double frac = std::fabs(serial - whole);
    auto day = static_cast<std::int64_t>(whole);
    if (std::round(frac * 86400.0) >= 86400.0) day += 1;
    if (day < kMinDay || day > kMaxDay) return std::nullopt;
    return civilFromDays(day + kOleEpoch);
}

std::optional<QByteArray> FormatYYYYMMDD(double serial) {
    auto d = SerialToDate(serial);
    if (!d) return std::nullopt;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", d->year, d->month, d->day);
    return QByteArray(buf, 8);
}

QByteArray FormatHMS(int hour, int minute, int second) {
    char buf[32];
    const int len = std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", hour, minute, second);
    return QByteArray(buf, len);
}

QByteArray LocalClockHMS() {
    const QTime t = QTime::currentTime();
    return FormatHMS(t.hour(), t.minute(), t.second());
}

QString ErrnoText(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
}

} // namespace qxd
