#include "app/client_core.h"
#include "sim/zip_writer.h"
#include "support/disk_faults.h"
#include "support/hist_server.h"
#include "support/session_rig.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace qxd;

namespace {

struct Host : HandOffListener {
    QList<QPair<QByteArray, float>> ended;
    QList<QByteArray> texts;
    void handOff(const HandOff& h) override {
        if (h.vType != KindDownload) return;
        ended.append({h.vSimbolo, h.VInterval});
        texts.append(h.Data());
    }
};

struct Live {
    QTemporaryDir dir;
    HistServer server;
    std::unique_ptr<ClientCore> c;
    Host host;
    explicit Live(bool makeFolder = true) {
        if (makeFolder) QDir().mkpath(folder());
        ClientOptions o;
        o.settingsPath = dir.path() + "/QXDATA.INI";
        o.timing.schedulerMs = 20;
        c = std::make_unique<ClientCore>(std::move(o));
        c->messageBox = [](const QByteArray&) {};
        c->ensureLoaded();
        c->controls.historicHost = "127.0.0.1";
        c->controls.historicPort = QByteArray::number(server.port());
        c->controls.userName = "trader";
        c->controls.password = "pw";
        c->handoff.Diretorio = QFile::encodeName(dir.path()) + "/";
        c->handoff.bind(&host);
    }
    HistoricSession& hist() { return c->history; }
    QString folder() const { return dir.path() + "/indataqx"; }
    QByteArray read(const QString& name) const {
        QFile f(folder() + "/" + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    bool exists(const QString& name) const { return QFile::exists(folder() + "/" + name); }
    void request(const QByteArray& sym, float ty) {
        hist().list.queue(sym, ty, 37988, 38169); // 2004-01-02 .. 2004-07-01
    }
    bool idle(int ms = 5000) {
        return QTest::qWaitFor([&] { return hist().currentItem() == 0; }, ms);
    }
    // The first request's download has ended, one way or another.
    bool ended(int ms = 5000) {
        return QTest::qWaitFor(
            [&] { return hist().currentItem() == 0 && !hist().list.item(1).pending(); }, ms);
    }
};

QByteArray bars(int n) {
    QByteArray out;
    for (int i = 0; i < n; ++i)
        out += "20040102," + QByteArray::number(10 + i % 7) + ".5,11,10,10.7," +
               QByteArray::number(1500 + i) + "\n";
    return out;
}

} // namespace

class TestHistoric : public QObject {
    Q_OBJECT
private slots:
    void download_data();
    void download();
    void queuedItemsInChunks();
    void requestTooLong();
    void dispatcher_data();
    void dispatcher();
    void lossMidTransfer_data();
    void lossMidTransfer();
    void diskFaults_data();
    void diskFaults();
    void hostileArchiveThenLogoffHist();
};

void TestHistoric::download_data() {
    QTest::addColumn<float>("code");
    QTest::addColumn<QByteArray>("codeText");
    QTest::addColumn<QString>("unpacked");
    QTest::addColumn<QString>("final");     // empty: no rename
    QTest::addColumn<QByteArray>("marker"); // the code in the transfer markers
    QTest::addColumn<QByteArray>("queued"); // the symbol as the host gave it
    QTest::addColumn<QByteArray>("symbol"); // as requested and handed back
    QTest::newRow("one-minute") << 1.0f << QByteArray("1") << "traderXYZ~1M"
                                << "XYZ.QX1M" << QByteArray("1") << QByteArray(" X YZ ")
                                << QByteArray("XYZ");
    QTest::newRow("code naming no file")
        << 0.5f << QByteArray("1") << "traderXYZ.~1M" << QString() << QByteArray("0.5")
        << QByteArray("XYZ") << QByteArray("XYZ");
    QTest::newRow("only blanks trimmed")
        << -1.0f << QByteArray("-1") << "trader\tXYZ\t~day"
        << "\tXYZ\t.QXDAY" << QByteArray("-1") << QByteArray("\tXYZ\t ") << QByteArray("\tXYZ\t");
}

void TestHistoric::download() {
    QFETCH(float, code);
    QFETCH(QByteArray, codeText);
    QFETCH(QString, unpacked);
    QFETCH(QString, final);
    QFETCH(QByteArray, marker);
    QFETCH(QByteArray, queued);
    QFETCH(QByteArray, symbol);
    Live t;
    const QByteArray data = bars(50);
    const QByteArray zip = MakeZip({{unpacked.toLatin1(), data}});
    t.server.onRequest = [&](HistServer& s, const HistRequest& r) {
        s.transfer(r.symbol, marker, zip);
    };
    if (!final.isEmpty()) {
        QFile old(t.folder() + "/" + final);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("stale series");
    }
    t.request(queued, code);
    QTRY_COMPARE(t.host.ended.size(), 1);
    QCOMPARE(t.host.ended.at(0), qMakePair(symbol, code));
    QVERIFY(t.host.texts.at(0).startsWith(symbol + " "));
    QCOMPARE(t.server.requests.at(0).text,
             "#F" + symbol + ",&I" + codeText + ",&D120040102,&D220040701,");
    QCOMPARE(t.server.received.mid(0, 3), (QList<QByteArray>{"!trader", "^pw", "&1"}));
    if (final.isEmpty())
        QCOMPARE(t.read(unpacked), data);
    else {
        QCOMPARE(t.read(final), data);
        QVERIFY(!t.exists(unpacked));
    }
    QVERIFY(!t.exists("ToDecompress.zip"));
    QCOMPARE(t.hist().rawMode(), false);
    QVERIFY(!t.c->controls.logoffHistVisible);
    QTRY_COMPARE(t.hist().list.count(), 0); // the next tick clears the finished list
}

// A request too long for a frame ends at once with a message; the one
// queued behind it goes ahead.
void TestHistoric::requestTooLong() {
    Live t;
    t.server.archives["ABC"] = MakeZip({{"traderABC~1M", "abc"}});
    t.request(QByteArray(40000, 'Z'), 1);
    t.request("ABC", 1);
    QTRY_COMPARE(t.host.ended.size(), 1);
    QCOMPARE(t.host.ended.at(0).first, QByteArray("ABC"));
    QCOMPARE(t.server.requests.size(), 1);
    QCOMPARE(t.read("ABC.QX1M"), QByteArray("abc"));
}

// Two downloads one after the other, the first a 3 MB archive in 30 KB chunks;
// a request already queued is dropped.
void TestHistoric::queuedItemsInChunks() {
    Live t;
    QByteArray noise(3 << 20, 0);
    QRandomGenerator rng(11);
    for (auto& ch : noise) ch = char(rng.bounded(256)); // incompressible
    t.server.archives["BIG"] = MakeZip({{"traderBIG~1M", noise}});
    t.server.archives["BBB"] = MakeZip({{"traderBBB~day", "b"}});
    t.server.chunkSize = 30000;
    t.request("BIG", 1);
    t.request("BBB", -1);
    t.request("BIG", 1);
    QTRY_COMPARE_WITH_TIMEOUT(t.host.ended.size(), 2, 20000);
    QCOMPARE(t.host.ended.at(1).first, QByteArray("BBB"));
    QCOMPARE(t.server.connections, 2);
    QCOMPARE(t.read("BIG.QX1M"), noise);
    QCOMPARE(t.read("BBB.QXDAY"), QByteArray("b"));
}

// One message of the historic server to a download in progress, at the
// session: the reply written, the status line, whether the item is finished,
// whether the download and its connection ended, and no hand-off.
void TestHistoric::dispatcher_data() {
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<bool>("ended");
    auto row = [](const char* name, QByteArray msg, QByteArray reply, QByteArray status,
                  bool finished, bool ended) {
        QTest::newRow(name) << msg << reply << status << finished << ended;
    };
    row("user prompt", "#USER?", "!trader", "", false, false);
    row("kind prompt", "#TIPO?", "&1", "", false, false);
    row("accepted: the request", "#L", "#FXYZ,&I1,&D120040102,&D220040701,", "", false, false);
    row("no data", "#B1", "", "Symbol 1 no data", true, true);
    row("unknown symbol", "#EXYZ", "", "Symbol XYZ does not exist", true, true);
    row("unknown other symbol", "#EQQQ", "", "Symbol QQQ does not exist", false, true);
    row("refused", "#O", "", "", true, true);
    row("server signs off", "#N", "", "", true, true);
    row("status note", "@busy", "", "busy", false, false);
    row("marker without a comma", "#BXYZ", "", "Transfer marker without a comma: #BXYZ", true,
        true);
}

void TestHistoric::dispatcher() {
    QFETCH(QByteArray, msg);
    QFETCH(bool, finished);
    QFETCH(bool, ended);
    QTemporaryDir dir;
    QDir().mkpath(dir.path() + "/indataqx");
    SessionRig r;
    Host host;
    r.handoff.bind(&host);
    r.handoff.Diretorio = QFile::encodeName(dir.path()) + "/";
    r.history.list.queue("XYZ", 1, 37988, 38169);
    r.historicSocket.state = SocketComponent::Closed;
    r.history.schedulerTick();
    QCOMPARE(r.history.state(), HistoricState::Connecting);
    r.historicSocket.state = SocketComponent::Open;
    r.history.dispatch(msg);
    const QList<QByteArray> written = SessionRig::written(r.historicSocket);
    QTEST(written.value(0), "reply");
    QTEST(r.panel.status, "status");
    QCOMPARE(!r.history.list.item(1).pending(), finished);
    QCOMPARE(r.history.currentItem() == 0, ended);
    QCOMPARE(r.historicSocket.state == SocketComponent::Closed, ended);
    QVERIFY(host.ended.isEmpty());
}

// Half an archive, then the server signs off (its files are cleared), drops
// the connection (the archive is closed and left), or sends archive data
// after an archive that failed to extract. The next download works.
void TestHistoric::lossMidTransfer_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("#N inside the transfer") << 0;
    QTest::newRow("reset") << 1;
    QTest::newRow("data after a failed extraction") << 2;
}

void TestHistoric::lossMidTransfer() {
    QFETCH(int, how);
    Live t;
    const QByteArray zip = MakeZip({{"traderXYZ~1M", bars(2000)}});
    // Small chunks: more of them in one read than go to the file at once.
    t.server.chunkSize = 50;
    for (const char* name : {"old.zip", "XYZ.TMPQX1M", "keep.txt"}) {
        QFile f(t.folder() + "/" + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    t.server.onRequest = [&](HistServer& s, const HistRequest& r) {
        if (how == 2) {
            s.transfer(r.symbol, r.code, "this is not a zip archive");
            s.beginTransfer(r.symbol, r.code);
            s.sendUnpacked("*0,3,abc");
            return;
        }
        s.beginTransfer(r.symbol, r.code);
        s.chunks(zip, zip.size() / 2);
        if (how == 0)
            s.sendUnpacked("#N"); // raw: the transfer is under way
        else
            QTimer::singleShot(50, &s, [&s] { s.resetPeer(); });
    };
    t.request("XYZ", 1);
    QVERIFY(t.ended());
    QVERIFY(t.host.ended.isEmpty());
    QCOMPARE(t.hist().archiveOpen(), false);
    QCOMPARE(t.c->historicSocket.State(), int(SocketComponent::Closed));
    QCOMPARE(t.exists("ToDecompress.zip"), how == 1);
    if (how == 1) QCOMPARE(t.read("ToDecompress.zip"), zip.left(zip.size() / 2)); // all received
    QCOMPARE(t.exists("old.zip"), how != 0);
    QVERIFY(t.exists("keep.txt"));
    if (how == 1) QVERIFY(!t.c->controls.statusLine.isEmpty()); // the socket's description
    if (how == 2) QVERIFY(t.c->controls.statusLine.contains("failed extraction"));

    t.server.onRequest = nullptr;
    t.server.archives["ABC"] = MakeZip({{"traderABC~1M", "abc"}});
    t.request("ABC", 1);
    QTRY_COMPARE(t.host.ended.size(), 1);
    QCOMPARE(t.read("ABC.QX1M"), QByteArray("abc"));
}

void TestHistoric::diskFaults_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    QTest::newRow("folder missing") << "missing"
                                    << "does not exist";
    QTest::newRow("archive write fails") << "full"
                                         << "Cannot write";
    QTest::newRow("extraction write fails") << "full-later"
                                            << "Cannot write";
    QTest::newRow("archive over its bound") << "large"
                                            << "is over 1000 bytes";
}

// The download ends with a message, nothing is left half written, and the
// next download works once the disk is back (or the bound raised).
void TestHistoric::diskFaults() {
    QFETCH(QString, fault);
    QFETCH(QString, message);
    Live t(fault != "missing");
    t.server.archives["XYZ"] = MakeZip({{"traderXYZ~1M", bars(2000)}});
    {
        std::optional<DiskFull> full;
        // The archive is some 10 KB, its series some 70 KB.
        if (fault == "full") full.emplace(1000);
        if (fault == "full-later") full.emplace(30000);
        if (fault == "large") t.hist().maxArchiveBytes = 1000;
        t.request("XYZ", 1);
        QTRY_VERIFY2(t.c->controls.statusLine.contains(message.toLatin1()),
                     t.c->controls.statusLine.constData());
        // A failed extraction leaves the download to the server's next
        // ending message: here it drops the connection.
        if (fault == "full-later") t.server.resetPeer();
        QVERIFY(t.ended());
    }
    t.hist().maxArchiveBytes = HistoricSession::DefaultMaxArchiveBytes;
    QVERIFY(t.host.ended.isEmpty());
    if (fault != "missing") {
        QVERIFY(!t.exists("ToDecompress.zip"));
        QVERIFY(!t.exists("XYZ.QX1M"));
        QVERIFY(!t.exists("traderXYZ~1M")); // not left cut short
    } else {
        QVERIFY(t.server.requests.isEmpty());
        QVERIFY(!QDir(t.folder()).exists()); // never created
        QDir().mkpath(t.folder());
    }
    t.request("XYZ", 1);
    QTRY_COMPARE(t.host.ended.size(), 1);
    QCOMPARE(t.read("XYZ.QX1M"), bars(2000));
}

// An archive with entries that would leave the folder: nothing leaves it,
// and the download stays in progress until "Logoff Hist", which drops every
// queued request; the next download works.
void TestHistoric::hostileArchiveThenLogoffHist() {
    Live t;
    t.server.archives["XYZ"] = MakeZip(
        {{"traderXYZ~1M", "ok"}, {"../escaped", "bad"}, {"lnk", {}, ZipEntry::Symlink, "/etc"}});
    t.request("XYZ", 1);
    t.request("ABC", 1);
    QTRY_VERIFY(t.c->controls.statusLine.contains("not extracted"));
    QVERIFY(!QFile::exists(t.dir.path() + "/escaped"));
    QVERIFY(!QFileInfo(t.folder() + "/lnk").isSymLink());
    QVERIFY(!t.exists("ToDecompress.zip"));
    QVERIFY(t.host.ended.isEmpty());
    QVERIFY(t.hist().currentItem() != 0);
    QVERIFY(t.c->controls.logoffHistVisible);
    t.hist().logoffHistButton();
    QCOMPARE(t.hist().currentItem(), 0);
    QCOMPARE(t.hist().list.count(), 0);
    QVERIFY(!t.c->controls.logoffHistVisible);
    QCOMPARE(t.c->historicSocket.State(), int(SocketComponent::Closed));
    t.server.archives["XYZ"] = MakeZip({{"traderXYZ~1M", "good"}});
    t.request("XYZ", 1);
    QTRY_COMPARE(t.host.ended.size(), 1);
    QCOMPARE(t.read("XYZ.QX1M"), QByteArray("good"));
}

QTEST_MAIN(TestHistoric)
#include "test_historic.moc"
