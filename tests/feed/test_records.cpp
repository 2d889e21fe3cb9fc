#include "feed/records.h"

#include <QTest>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>

using namespace qxd;

namespace {

// Records every hand-off with the fields it carried.
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
    std::int16_t logoff = 0;
    QuoteRecords rec{h, logoff};
    Fixture() { h.bind(&r); }
};

QList<QByteArray> split2(const QByteArray& s, int n) {
    std::vector<QByteArrayView> f(n);
    ImportAcharFields2(s, f);
    QList<QByteArray> out;
    for (auto v : f) out.append(v.toByteArray());
    return out;
}

} // namespace

class TestRecords : public QObject {
    Q_OBJECT
private slots:
    void splitter_data();
    void splitter();
    void otherSplitter();
    void trade();
    void tradeFields_data();
    void tradeFields();
    void complete();
    void degenerate_data();
    void degenerate();
    void countersAndLogoff();
};

void TestRecords::splitter_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QList<QByteArray>>("fields"); // 4 entries
    using L = QList<QByteArray>;
    QTest::newRow("plain") << QByteArray("A,1,2") << L{"A", "1", "2", ""};
    QTest::newRow("trailing comma") << QByteArray("A,1,") << L{"A", "1", "", ""};
    QTest::newRow("comma first") << QByteArray(",1,2") << L{"", "", "", ""};
    QTest::newRow("no comma") << QByteArray("ABCDEF") << L{"", "", "", ""};
    QTest::newRow("short") << QByteArray("A,") << L{"", "", "", ""};
    QTest::newRow("surplus ignored") << QByteArray("A,1,2,3,4,5") << L{"A", "1", "2", "3"};
    QTest::newRow("exactly full") << QByteArray("A,1,2,3") << L{"A", "1", "2", "3"};
}

void TestRecords::splitter() {
    QFETCH(QByteArray, in);
    QFETCH(QList<QByteArray>, fields);
    QCOMPARE(split2(in, 4), fields);
}

void TestRecords::otherSplitter() {
    std::array<QByteArrayView, 60> f;
    ImportAcharFields("ab;c", f, ';');
    QCOMPARE(f[0], QByteArrayView("ab"));
    QCOMPARE(f[1], QByteArrayView("c"));
    ImportAcharFields("whole", f, ';');
    QCOMPARE(f[0], QByteArrayView("whole"));
    QVERIFY(f[1].isEmpty());
    ImportAcharFields(";x", f, ';');
    QVERIFY(f[0].isEmpty());
    QCOMPARE(f[1], QByteArrayView("x"));
    // The 50th separator ends the split: fields 1 to 50 at most.
    QByteArray many;
    for (int i = 1; i <= 55; ++i) many += QByteArray::number(i) + ',';
    ImportAcharFields(many, f, ',');
    QCOMPARE(f[49], QByteArrayView("50"));
    QVERIFY(f[50].isEmpty());
}

void TestRecords::trade() {
    Fixture f;
    auto& [h, r, logoff, rec] = f;
    h.vOpen = h.vHi = h.vBid = 9; // a trade clears them
    rec.ProcessTrade("SYM,10.5,100,-0.25,1500,3");
    QCOMPARE(r.texts, QList<QByteArray>{"SYM 1"});
    const HandOff& s = r.seen.at(0);
    QCOMPARE(s.vSimbolo, QByteArray("SYM"));
    QCOMPARE(s.vLast, 10.5f);
    QCOMPARE(s.vLastS, 100.0f);
    QCOMPARE(s.vChange, -0.25f);
    QCOMPARE(s.vVol, 1500.0f);
    QCOMPARE(s.vTicks, std::int16_t(3));
    QCOMPARE(s.vType, std::int16_t(KindTrade));
    for (float v : {s.vOpen, s.vHi, s.vLow, s.vOInt, s.vAsk, s.vAskS, s.vBid, s.vBidS, s.vPrevious})
        QCOMPARE(v, 0.0f);
    QCOMPARE(s.vTime, 0.0f);

    // Missing fields read as 0.
    rec.ProcessTrade("SYM,10.5,100");
    QCOMPARE(h.vChange, 0.0f);
    QCOMPARE(h.vVol, 0.0f);
    QCOMPARE(h.vTicks, std::int16_t(0));
    QCOMPARE(h.Data(), QByteArray("SYM 2"));
}

// One trade field read through the numeric reader: the last price as a
// float, the tick count rounded to even and clamped to 16 bits.
void TestRecords::tradeFields_data() {
    QTest::addColumn<QByteArray>("last");
    QTest::addColumn<float>("value");
    QTest::addColumn<QByteArray>("tickField");
    QTest::addColumn<int>("ticks");
    constexpr float inf = std::numeric_limits<float>::infinity();
    QTest::newRow("exponent, 2.5") << QByteArray("1.5E2") << 150.0f << QByteArray("2.5") << 2;
    QTest::newRow("letters, 3.5") << QByteArray("12abc") << 12.0f << QByteArray("3.5") << 4;
    QTest::newRow("float rounding, max")
        << QByteArray("0.1") << 0.1f << QByteArray("32767") << 32767;
    QTest::newRow("beyond float, clamped")
        << QByteArray("1E39") << inf << QByteArray("40000") << 32767;
    QTest::newRow("beyond double, clamped low")
        << QByteArray("-1E400") << -inf << QByteArray("-1E9") << -32768;
    QTest::newRow("no number") << QByteArray("x") << 0.0f << QByteArray("x") << 0;
}

void TestRecords::tradeFields() {
    QFETCH(QByteArray, last);
    QFETCH(float, value);
    QFETCH(QByteArray, tickField);
    QFETCH(int, ticks);
    Fixture f;
    f.rec.ProcessTrade("S," + last + ",1,1,1," + tickField);
    QCOMPARE(f.h.vLast, value);
    QCOMPARE(int(f.h.vTicks), ticks);
}

void TestRecords::complete() {
    Fixture f;
    auto& [h, r, logoff, rec] = f;
    h.vTicks = 7; // a complete quote leaves the tick count alone
    rec.ProcessComplete("ABC,1,2,3,4,5,6,7,8,9,10,11,12,13,99,98");
    const HandOff& s = r.seen.at(0);
    QCOMPARE(s.vSimbolo, QByteArray("ABC"));
    const float got[] = {s.vOpen, s.vHi,   s.vLow, s.vLast, s.vLastS,  s.vVol,     s.vOInt,
                         s.vAsk,  s.vAskS, s.vBid, s.vBidS, s.vChange, s.vPrevious};
    for (int i = 0; i < 13; ++i) QCOMPARE(got[i], float(i + 1));
    QCOMPARE(s.vType, std::int16_t(KindComplete));
    QCOMPARE(s.vTicks, std::int16_t(7));
    QCOMPARE(r.texts.last(), QByteArray("ABC 1"));

    // An empty field reads 0 and keeps every later field in its place.
    rec.ProcessCompleteReq("ABC,1,,3,4,5,6,7,8,9,10,11,12,13");
    QCOMPARE(h.vHi, 0.0f);
    QCOMPARE(h.vLow, 3.0f);
    QCOMPARE(h.vPrevious, 13.0f);
    QCOMPARE(h.vType, std::int16_t(KindRequested));
    QCOMPARE(h.Data(), QByteArray("ABC 1")); // its own counter
}

void TestRecords::degenerate_data() {
    QTest::addColumn<QByteArray>("record");
    QTest::newRow("comma first") << QByteArray(",1,2");
    QTest::newRow("no comma") << QByteArray("SYMBOL");
    QTest::newRow("short") << QByteArray("AB");
    QTest::newRow("empty") << QByteArray();
}

// Still handed on with an empty symbol and zeros; the counter advances.
void TestRecords::degenerate() {
    QFETCH(QByteArray, record);
    Fixture f;
    auto& [h, r, logoff, rec] = f;
    h.vSimbolo = "OLD";
    h.vLast = 5;
    rec.ProcessTrade(record);
    rec.ProcessComplete(record);
    QCOMPARE(r.texts, (QList<QByteArray>{" 1", " 1"}));
    QCOMPARE(h.vSimbolo, QByteArray());
    QCOMPARE(h.vLast, 0.0f);
}

void TestRecords::countersAndLogoff() {
    Fixture f;
    auto& [h, r, logoff, rec] = f;
    rec.ProcessTrade("SYM,1");
    rec.ProcessComplete("SYM,1");
    rec.ProcessTrade("SYM,1");
    QCOMPARE(r.texts, (QList<QByteArray>{"SYM 1", "SYM 1", "SYM 2"}));

    logoff = 1;
    rec.ProcessTrade("SYM,1");
    rec.ProcessCompleteReq("SYM,1");
    QCOMPARE(r.texts.size(), 3);  // neither handled
    rec.ProcessComplete("SYM,1"); // still handled
    QCOMPARE(r.texts.last(), QByteArray("SYM 2"));
    QCOMPARE(rec.trades(), 2.0);
    QCOMPARE(rec.completes(), 2.0);
    QCOMPARE(rec.requested(), 0.0);
}

QTEST_APPLESS_MAIN(TestRecords)
#include "test_records.moc"
