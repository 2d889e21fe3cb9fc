// The simulator as the client's peer, in one process, and the decoder.
#include "app/qxdclient.h"
#include "sim/bars.h"
#include "sim/sim.h"
#include "wire/decode.h"
#include "wire/pack.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace qxd;

namespace {
struct Recorder : HandOffListener {
    QList<int> kinds;
    QList<QByteArray> symbols;
    void handOff(const HandOff& h) override {
        kinds.append(h.vType);
        symbols.append(h.vSimbolo);
    }
};
} // namespace

class TestTools : public QObject {
    Q_OBJECT
private slots:
    void clientAgainstSimulator();
    void bars_data();
    void bars();
    void decodeRealtime();
    void decodeHistoric();
};

void TestTools::clientAgainstSimulator() {
    sim::Options o;
    o.feedPort = o.histPort = 0;
    o.rate = 500;
    o.verbose = false;
    sim::FeedSim feed(o);
    sim::HistSim hist(o);
    QString err;
    QVERIFY(feed.listen(&err) && hist.listen(&err));

    QTemporaryDir dir;
    QDir().mkpath(dir.path() + "/indataqx");
    ClientOptions co;
    co.settingsPath = dir.path() + "/QXDATA.INI";
    co.timing.timerHist = 50;
    QXDClient c(std::move(co));
    c.ensureLoaded();
    c.ctl.ServerIP = c.ctl.HistIp = "127.0.0.1";
    c.ctl.ServerPort = QByteArray::number(feed.port());
    c.ctl.HistPort = QByteArray::number(hist.port());
    c.ctl.UserName = "demo";
    c.ctl.Password = "demo";
    c.handoff.Diretorio = QFile::encodeName(dir.path()) + "/";
    Recorder r;
    c.handoff.bind(&r);

    c.feed.Command1_Click();
    QTRY_COMPARE(c.feed.LoggedOn, std::int16_t(1));
    c.feed.AddSymbol("PETR4");
    c.feed.AddSymbol("VALE3");
    c.feed.RequestSymbol("NONE");
    QTRY_VERIFY(r.kinds.count(KindTrade) > 50);
    QVERIFY(r.kinds.contains(KindComplete));
    QVERIFY(r.kinds.contains(KindTime));
    QTRY_COMPARE(c.ctl.Label2, QByteArray("Symbol NONE does not exist"));
    QCOMPARE(c.ctl.NClients, QByteArray("1"));
    QVERIFY(r.symbols.contains("VALE3"));

    c.hist.list.RequestHistoricData("PETR4", 5, 37988, 37991); // Fri 2 Jan .. Mon 5 Jan 2004
    QTRY_VERIFY(r.kinds.contains(KindDownload));
    QFile f(dir.path() + "/indataqx/PETR4.QX5M");
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    QCOMPARE(lines.size() - 1, 2 * 84); // two trading days of 84 five-minute bars
    QVERIFY(lines.first().startsWith("20040102,1000,"));
    QVERIFY(lines.at(lines.size() - 2).startsWith("20040105,1655,"));

    // The server's shutdown reaches the client as "#N".
    feed.signOff();
    QTRY_COMPARE(c.ctl.Label1, QByteArray("Server is disconnecting"));
}

void TestTools::bars_data() {
    QTest::addColumn<double>("code");
    QTest::addColumn<int>("lines");
    QTest::newRow("daily over a week") << -1.0 << 5;
    QTest::newRow("one-minute") << 1.0 << 5 * 420;
    QTest::newRow("sixty-minute") << 60.0 << 5 * 7;
    QTest::newRow("no series for 0") << 0.0 << 0;
    QTest::newRow("no series for 2.5") << 2.5 << 0;
}

void TestTools::bars() {
    QFETCH(double, code);
    QFETCH(int, lines);
    // Saturday 3 January to Friday 9 January 2004.
    const QByteArray b = sim::GenerateBars("XYZ", code, 37989, 37995);
    QCOMPARE(int(b.count('\n')), lines);
    QCOMPARE(sim::GenerateBars("XYZ", code, 37989, 37995), b);       // repeatable
    QVERIFY(sim::GenerateBars("XYZ", code, 37989, 37990).isEmpty()); // a weekend
    QCOMPARE(sim::SeriesEntryName("u", "XYZ", 15), QByteArray("uXYZ.~15M"));
}

void TestTools::decodeRealtime() {
    const QByteArray stream = "zz" + sim::Packed("$PETR4,10.5,100,-0.25,1500,3") + "`15ab~" +
                              sim::Packed("@note\x01") + "`12x";
    const QList<wire::Decoded> d = wire::DecodeStream(stream, false);
    QCOMPARE(d.size(), 5);
    QCOMPARE(d[0].ok, false);
    QCOMPARE(d[0].offset, 0);
    QCOMPARE(d[1].text, QByteArray("$PETR4,10.5,100,-0.25,1500,3"));
    QCOMPARE(d[1].offset, 2);
    QVERIFY(!d[2].ok);
    QCOMPARE(d[3].text, QByteArray("@note\\x01"));
    QVERIFY(!d[4].ok);
    QVERIFY(d[4].text.contains("incomplete"));
}

void TestTools::decodeHistoric() {
    const QByteArray zip(100, '~');
    const QByteArray stream = sim::Packed("#USER?") + sim::Packed("#BXYZ,1") +
                              ConverteToSend("*0,100," + zip) + ConverteToSend("#BXYZ,1") + "junk" +
                              sim::Packed("#N");
    const QList<wire::Decoded> d = wire::DecodeStream(stream, true);
    QCOMPARE(d.size(), 6);
    QCOMPARE(d[1].text, QByteArray("#BXYZ,1"));
    QCOMPARE(d[2].text, QByteArray("*0,100,<100 bytes of archive>"));
    QCOMPARE(d[3].text, QByteArray("#BXYZ,1"));
    QVERIFY(!d[4].ok);
    QCOMPARE(d[5].text, QByteArray("#N"));
}

QTEST_MAIN(TestTools)
#include "test_tools.moc"
