// Quote records: a symbol and numeric fields separated by commas, after the
// kind bytes were stripped by the dispatcher. Trade ("$", 6 fields), complete
// quote ("{", 14 fields) and complete quote on request ("#D", 14 fields).
#pragma once

#include "handoff/handoff.h"

#include <QByteArrayView>

#include <cstdint>
#include <span>

namespace qxd {

// Splits `s` at every comma into f[0], f[1], ... (views into `s`). A text
// shorter than 3 bytes, one without a comma and one starting with a comma
// give no fields. Empty fields keep their place; fields beyond f's size are
// ignored. Entries not reached are left empty.
void ImportAcharFields2(QByteArrayView s, std::span<QByteArrayView> f);

class QuoteRecords {
public:
    // `shut` is the feed sender's: trades and requested quotes are not
    // handled while the logoff has shut it.
    QuoteRecords(HandOff& h, const bool& shut)
        : h_(h)
        , shut_(shut) {}

    void ProcessTrade(QByteArrayView s);
    void ProcessComplete(QByteArrayView s);
    void ProcessCompleteReq(QByteArrayView s);

    // Records handled since the window was created, per kind.
    double trades() const { return trades_; }
    double completes() const { return completes_; }
    double requested() const { return requested_; }

private:
    void complete(QByteArrayView s);
    void handOn(double count);

    HandOff& h_;
    const bool& shut_;
    double trades_ = 0;
    double completes_ = 0;
    double requested_ = 0;
};

} // namespace qxd
