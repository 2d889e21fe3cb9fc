#include "feed/records.h"

#include <charconv>

#include "wire/convert.h"

#include <array>

namespace qxd {

void ImportAcharFields2(QByteArrayView s, std::span<QByteArrayView> f) {
    for (auto& x : f) x = {};
    if (s.size() < 3) return;
    qsizetype c = s.indexOf(',');
    if (c < 1) return; // no comma, or the first field is empty
    std::size_t i = 0;
    qsizetype start = 0;
    for (;;) {
        if (c > start && i < f.size()) f[i] = s.sliced(start, c - start);
        start = c + 1;
        c = s.indexOf(',', start);
        if (c < 0) break;
        ++i;
        if (i >= f.size()) return; // surplus fields are ignored
    }
    ++i;
    if (start < s.size() && i < f.size()) f[i] = s.sliced(start);
}

namespace {
inline float num(QByteArrayView field) {
    return ToFloat(Val(field));
}
} // namespace

void QuoteRecords::handOn(double count) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, std::int64_t(count)).ptr;
    h_.setData(h_.vSimbolo, QByteArrayView(digits, end - digits));
}

void QuoteRecords::ProcessTrade(QByteArrayView s) {
    if (shut_) return;
    std::array<QByteArrayView, 6> f;
    ImportAcharFields2(s, f);
    h_.vSimbolo = f[0].toByteArray();
    h_.vLast = num(f[1]);
    h_.vLastS = num(f[2]);
    h_.vChange = num(f[3]);
    h_.vVol = num(f[4]);
    // A tick count outside the 16-bit range is clamped to its nearest end.
    h_.vTicks = ToInt16Clamped(Val(f[5]));
    h_.vOpen = h_.vHi = h_.vLow = h_.vOInt = 0;
    h_.vAsk = h_.vAskS = h_.vBid = h_.vBidS = h_.vPrevious = 0;
    h_.vType = KindTrade;
    trades_ += 1;
    handOn(trades_);
}

void QuoteRecords::complete(QByteArrayView s) {
    std::array<QByteArrayView, 15> f;
    ImportAcharFields2(s, f);
    h_.vSimbolo = f[0].toByteArray();
    h_.vOpen = num(f[1]);
    h_.vHi = num(f[2]);
    h_.vLow = num(f[3]);
    h_.vLast = num(f[4]);
    h_.vLastS = num(f[5]);
    h_.vVol = num(f[6]);
    h_.vOInt = num(f[7]);
    h_.vAsk = num(f[8]);
    h_.vAskS = num(f[9]);
    h_.vBid = num(f[10]);
    h_.vBidS = num(f[11]);
    h_.vChange = num(f[12]);
    h_.vPrevious = num(f[13]);
}

void QuoteRecords::ProcessComplete(QByteArrayView s) {
    complete(s);
    h_.vType = KindComplete;
    completes_ += 1;
    handOn(completes_);
}

void QuoteRecords::ProcessCompleteReq(QByteArrayView s) {
    if (shut_) return;
    complete(s);
    h_.vType = KindRequested;
    requested_ += 1;
    handOn(requested_);
}

} // namespace qxd
