#include "feed/records.h"

#include <QTest>

#include <limits>

using namespace qxd;

namespace {

struct Recorder : HandOffListener {
    QList<QByteArray> texts;
    QList<HandOff> seen;
    void handOff(const HandOff& h) override {
        texts.append(h.Data());
        seen.append(h);
    }
};

// A record processor over its own hand-off fields and recording host.
struct Fixture {
    HandOff h;
    Recorder r;
    bool logoff = false;
    QuoteRecords rec{h, logoff};
    Fixture() { h.bind(&r); }
};

} // namespace

class TestRecords : public QObject {
    Q_OBJECT
private slots:
    void tradeFields_data();
    void tradeFields();
    void complete();
    void countersDegenerateAndLogoff();
};

// A trade clears the fields it does not carry; its price is a float read
// through the numeric reader, its tick count rounded to even and clamped.
void TestRecords::tradeFields_data() {
    QTest::addColumn<QByteArray>("last");
    QTest::addColumn<float>("value");
    QTest::addColumn<QByteArray>("tickField");
    QTest::addColumn<int>("ticks");
    constexpr float inf = std::numeric_limits<float>::infinity();
    QTest::newRow("exponent, 2.5") << QByteArray("1.5E2") << 150.0f << QByteArray("2.5") << 2;
    QTest::newRow("letters, 3.5") << QByteArray("12abc") << 12.0f << QByteArray("3.5") << 4;
    QTest::newRow("beyond float, clamped")
        << QByteArray("1E39") << inf << QByteArray("40000") << 32767;
    QTest::newRow("beyond double, clamped low")
        << QByteArray("-1E400") << -inf << QByteArray("-1E9") << -32768;
    QTest::newRow("field missing") << QByteArray("0.1") << 0.1f << QByteArray() << 0;
}

void TestRecords::tradeFields() {
    QFETCH(QByteArray, last);
    QFETCH(float, value);
    QFETCH(QByteArray, tickField);
    QFETCH(int, ticks);
    Fixture f;
    f.h.vOpen = f.h.vBid = f.h.vPrevious = 9;
    f.rec.ProcessTrade("S," + last + ",100,-0.25,1500" +
                       (tickField.isNull() ? "" : "," + tickField));
    const HandOff& s = f.r.seen.at(0);
    QCOMPARE(s.vSimbolo, QByteArray("S"));
    QCOMPARE(s.vLast, value);
    QCOMPARE(int(s.vTicks), ticks);
    QCOMPARE((QList<float>{s.vLastS, s.vChange, s.vVol, s.vOpen, s.vBid, s.vPrevious}),
             (QList<float>{100, -0.25f, 1500, 0, 0, 0}));
    QCOMPARE(s.vType, std::int16_t(KindTrade));
}

void TestRecords::complete() {
    Fixture f;
    auto& [h, r, logoff, rec] = f;
    h.vTicks = 7; // a complete quote leaves the tick count alone
    rec.ProcessComplete("ABC,1,2,3,4,5,6,7,8,9,10,11,12,13,99,98");
    const HandOff& s = r.seen.at(0);
    QCOMPARE(s.vSimbolo, QByteArray("ABC"));
    QCOMPARE((QList<float>{s.vOpen, s.vHi, s.vLow, s.vLast, s.vLastS, s.vVol, s.vOInt, s.vAsk,
                           s.vAskS, s.vBid, s.vBidS, s.vChange, s.vPrevious}),
             (QList<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    QCOMPARE(s.vType, std::int16_t(KindComplete));
    QCOMPARE(s.vTicks, std::int16_t(7));

    // An empty field reads 0 and keeps every later field in its place.
    rec.ProcessCompleteReq("ABC,1,,3,4,5,6,7,8,9,10,11,12,13");
    QCOMPARE(h.vHi, 0.0f);
    QCOMPARE(h.vPrevious, 13.0f);
    QCOMPARE(h.vType, std::int16_t(KindRequested));
}

// Each kind counts on its own; a record without a symbol is still handed on
// with zeros; while logging off only complete quotes are handled.
void TestRecords::countersDegenerateAndLogoff() {
    Fixture f;
    auto& [h, r, logoff, rec] = f;
    rec.ProcessTrade("SYM,1");
    rec.ProcessComplete("SYM,1");
    rec.ProcessCompleteReq("SYM,1");
    rec.ProcessTrade("SYM,1");
    h.vLast = 5;
    rec.ProcessTrade(",1,2");
    QCOMPARE(h.vLast, 0.0f);
    rec.ProcessComplete("AB");
    QCOMPARE(r.texts, (QList<QByteArray>{"SYM 1", "SYM 1", "SYM 1", "SYM 2", " 3", " 2"}));

    logoff = true;
    rec.ProcessTrade("SYM,1");
    rec.ProcessCompleteReq("SYM,1");
    QCOMPARE(r.texts.size(), 6);
    rec.ProcessComplete("SYM,1");
    QCOMPARE(r.texts.last(), QByteArray("SYM 3"));
}

QTEST_APPLESS_MAIN(TestRecords)
#include "test_records.moc"
