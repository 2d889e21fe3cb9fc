// The historic session driven with bytes: the test speaks for the server
// (logon, transfer markers, raw chunks) and checks the folder and the host.
#include "sim/zip_writer.h"
#include "support/disk_faults.h"
#include "support/session_rig.h"
#include "wire/pack.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <optional>
#include <tuple>

using namespace qxd;

namespace {

QByteArray packed(const QByteArray& m) { return ConverteToSend(Compress(m)); }
QByteArray raw(const QByteArray& m) { return ConverteToSend(m); } // as inside a transfer

struct Host : HandOffListener {
    QList<QPair<QByteArray, float>> ended;
    QList<QByteArray> texts;
    void handOff(const HandOff& h) override {
        if (h.vType != KindDownload) return;
        ended.append({h.vSimbolo, h.VInterval});
        texts.append(h.Data());
    }
};

struct Desk : SessionRig {
    QTemporaryDir dir;
    Host host;

    explicit Desk(bool makeFolder = true) {
        if (makeFolder) QDir().mkpath(folder());
        handoff.Diretorio = QFile::encodeName(dir.path()) + "/";
        handoff.bind(&host);
        historicSocket.state = SocketComponent::Closed;
    }
    QString folder() const { return dir.path() + "/indataqx"; }
    QByteArray read(const QString& name) const {
        QFile f(folder() + "/" + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    bool exists(const QString& name) const { return QFile::exists(folder() + "/" + name); }
    void request(const QByteArray& sym, float ty) {
        history.list.queue(sym, ty, 37988, 38169); // 2004-01-02 .. 2004-07-01
    }
    // The scheduler's tick starts the next download; the server leads the
    // logon and accepts it. True when a request went out.
    bool start() {
        history.schedulerTick();
        if (historicSocket.state != SocketComponent::Connecting) return false;
        historicSocket.state = SocketComponent::Open;
        historicSocket.sent.clear();
        for (const char* m : {"#USER?", "#TIPO?", "#L"}) arriveHistoric(packed(m));
        return written(historicSocket).value(2).startsWith("#F");
    }
    // The server's side of a transfer: a begin marker (packed, as every
    // message outside a transfer), raw chunks and a raw end marker.
    static QByteArray begin(const QByteArray& sym, const QByteArray& code) {
        return packed("#B" + sym + "," + code);
    }
    static QByteArray chunks(const QByteArray& zip, qsizetype chunk = 16000, qsizetype upTo = -1) {
        QByteArray out;
        const qsizetype end = upTo < 0 ? zip.size() : upTo;
        for (qsizetype at = 0, n = 0; at < end; at += chunk, ++n) {
            const QByteArray part = zip.mid(at, std::min(chunk, end - at));
            out += raw("*" + QByteArray::number(n) + "," + QByteArray::number(part.size()) + "," +
                       part);
        }
        return out;
    }
    static QByteArray end(const QByteArray& sym, const QByteArray& code) {
        return raw("#B" + sym + "," + code);
    }
    // Bytes reach the client only while its connection is open.
    void serve(const QByteArray& bytes) {
        if (historicSocket.state == SocketComponent::Open) arriveHistoric(bytes);
    }
    // A whole download: the logon, the archive in one arrival, the end marker.
    bool download(const QByteArray& sym, const QByteArray& zip, const QByteArray& code = "1",
                  qsizetype chunk = 16000) {
        if (!start()) return false;
        serve(begin(sym, code) + chunks(zip, chunk));
        serve(end(sym, code));
        return true;
    }
    bool ended() const { return history.currentItem() == 0; }
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
    Desk t;
    // 3 MB, incompressible, in 30 KB chunks: many batches of writes.
    QByteArray data(3 << 20, 0);
    QRandomGenerator rng(11);
    for (auto& ch : data) ch = char(rng.bounded(256));
    if (!final.isEmpty()) {
        QFile old(t.folder() + "/" + final);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("stale series");
    }
    t.request(queued, code);
    QVERIFY(t.download(symbol, MakeZip({{unpacked.toLatin1(), data}}), marker, 30000));
    QCOMPARE(SessionRig::written(t.historicSocket),
             (QList<QByteArray>{"!trader", "&1",
                                "#F" + symbol + ",&I" + codeText + ",&D120040102,&D220040701,"}));
    QCOMPARE(t.host.ended, (QList<QPair<QByteArray, float>>{{symbol, code}}));
    QCOMPARE(t.panel.ended, QList<QByteArray>{"ok finished"});
    QVERIFY(t.host.texts.at(0).startsWith(symbol + " "));
    if (final.isEmpty())
        QCOMPARE(t.read(unpacked), data);
    else {
        QCOMPARE(t.read(final), data);
        QVERIFY(!t.exists(unpacked));
    }
    QVERIFY(!t.exists("ToDecompress.zip"));
    QCOMPARE(t.history.rawMode(), false);
    QVERIFY(!t.panel.logoffHistVisible);
    QVERIFY(!t.start()); // nothing left, and the tick clears the finished list
    QCOMPARE(t.history.list.count(), 0);
}

// A request too long for a frame ends at once with a message; the one
// queued behind it goes ahead.
void TestHistoric::requestTooLong() {
    Desk t;
    t.request(QByteArray(40000, 'Z'), 1);
    t.request("ABC", 1);
    QVERIFY(!t.start());
    QVERIFY(t.panel.status.contains("too long"));
    QVERIFY(t.download("ABC", MakeZip({{"traderABC~1M", "abc"}})));
    QCOMPARE(t.host.ended.size(), 1);
    QCOMPARE(t.host.ended.at(0).first, QByteArray("ABC"));
    QCOMPARE(t.panel.ended.size(), 2);
    QVERIFY(t.panel.ended.at(0).startsWith("-- request-too-long: The request for ZZZ"));
    QCOMPARE(t.read("ABC.QX1M"), QByteArray("abc"));
}

// One message of the historic server to a download in progress: the reply
// written, the status line, whether the item is finished, whether the
// download and its connection ended, and no hand-off.
void TestHistoric::dispatcher_data() {
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<bool>("ended");
    QTest::addColumn<QByteArray>("why"); // the end's code and the window's text
    auto row = [](const char* name, QByteArray msg, QByteArray reply, QByteArray status,
                  bool finished, const char* why) {
        QTest::newRow(name) << msg << reply << status << finished << (*why != 0) << QByteArray(why);
    };
    row("user prompt", "#USER?", "!trader", "", false, "");
    row("kind prompt", "#TIPO?", "&1", "", false, "");
    row("accepted: the request", "#L", "#FXYZ,&I1,&D120040102,&D220040701,", "", false, "");
    row("no data", "#B1", "", "Symbol 1 no data", true, "no-data: Symbol 1 no data");
    row("unknown symbol", "#EXYZ", "", "Symbol XYZ does not exist", true,
        "unknown-symbol: Symbol XYZ does not exist");
    row("unknown other symbol", "#EQQQ", "", "Symbol QQQ does not exist", false,
        "unknown-symbol: Symbol QQQ does not exist");
    row("refused", "#O", "", "", true, "refused");
    row("server signs off", "#N", "", "", true, "connection-lost: Server is disconnecting");
    row("status note", "@busy", "", "busy", false, "");
    row("marker without a comma", "#BXYZ", "", "Transfer marker without a comma: #BXYZ", true,
        "protocol-error: Transfer marker without a comma: #BXYZ");
}

void TestHistoric::dispatcher() {
    QFETCH(QByteArray, msg);
    QFETCH(bool, finished);
    QFETCH(bool, ended);
    Desk t;
    t.request("XYZ", 1);
    t.history.schedulerTick();
    QCOMPARE(t.history.state(), HistoricState::Connecting);
    t.historicSocket.state = SocketComponent::Open;
    t.history.dispatch(msg);
    QTEST(SessionRig::written(t.historicSocket).value(0), "reply");
    QTEST(t.panel.status, "status");
    QCOMPARE(!t.history.list.item(1).pending(), finished);
    QCOMPARE(t.ended(), ended);
    QCOMPARE(t.historicSocket.state == SocketComponent::Closed, ended);
    QVERIFY(t.host.ended.isEmpty());
    // Every end is told once, with its code and the window's text.
    QFETCH(QByteArray, why);
    QCOMPARE(t.panel.ended, why.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{"-- " + why});
    QCOMPARE(t.panel.serverNotes, msg.startsWith('@') ? QList<QByteArray>{"busy"} : QList<QByteArray>{});
}

// Half an archive, then the server signs off (its files are cleared), drops
// the connection (the archive is closed and left), or sends archive data
// after an archive that failed to extract. The next download works.
void TestHistoric::lossMidTransfer_data() {
    QTest::addColumn<int>("how");
    QTest::addColumn<QByteArray>("why"); // how the download's end is told
    QTest::newRow("#N inside the transfer") << 0 << QByteArray("-- connection-lost: Server is");
    QTest::newRow("reset") << 1 << QByteArray("-- connection-lost: Connection reset by peer");
    QTest::newRow("data after a failed extraction") << 2 << QByteArray("-- extraction-failed: ");
}

void TestHistoric::lossMidTransfer() {
    QFETCH(int, how);
    Desk t;
    const QByteArray zip = MakeZip({{"traderXYZ~1M", bars(2000)}});
    for (const char* name : {"old.zip", "XYZ.TMPQX1M", "keep.txt"}) {
        QFile f(t.folder() + "/" + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    t.request("XYZ", 1);
    if (how == 2) {
        QVERIFY(t.download("XYZ", "this is not a zip archive"));
        t.serve(Desk::begin("XYZ", "1"));
        t.serve(raw("*0,3,abc"));
    } else {
        QVERIFY(t.start());
        // Small chunks: more of them in one read than go to the file at once.
        t.serve(Desk::begin("XYZ", "1") + Desk::chunks(zip, 50, zip.size() / 2));
        if (how == 0)
            t.arriveHistoric(raw("#N"));
        else
            t.history.failed(10054, QStringLiteral("Connection reset by peer"));
    }
    QVERIFY(t.ended());
    QVERIFY(!t.history.list.item(1).pending());
    QVERIFY(t.host.ended.isEmpty());
    QFETCH(QByteArray, why);
    QCOMPARE(t.panel.ended.size(), 1);
    QVERIFY2(t.panel.ended.at(0).startsWith(why), t.panel.ended.at(0).constData());
    QCOMPARE(t.history.archiveOpen(), false);
    QCOMPARE(t.historicSocket.state, int(SocketComponent::Closed));
    QCOMPARE(t.exists("ToDecompress.zip"), how == 1);
    if (how == 1) QCOMPARE(t.read("ToDecompress.zip"), zip.left(zip.size() / 2)); // all received
    QCOMPARE(t.exists("old.zip"), how != 0);
    QVERIFY(t.exists("keep.txt"));
    if (how == 1) QCOMPARE(t.panel.status, QByteArray("Connection reset by peer"));
    if (how == 2) QVERIFY(t.panel.status.contains("failed extraction"));

    // Raw reception outlives a lost connection: the next download's begin
    // marker ends it as an end marker would, its item left for the next tick.
    t.request("ABC", 1);
    QCOMPARE(t.history.rawMode(), how != 2);
    if (how != 2) {
        QVERIFY(t.start());
        t.serve(Desk::begin("ABC", "1"));
        QVERIFY(t.ended() && t.history.list.item(2).pending());
    }
    QVERIFY(t.download("ABC", MakeZip({{"traderABC~1M", "abc"}})));
    QCOMPARE(t.host.ended.size(), 1);
    QCOMPARE(t.read("ABC.QX1M"), QByteArray("abc"));
}

void TestHistoric::diskFaults_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("why"); // how the download's end is told
    for (auto [name, fault, message, why] :
         {std::tuple{"folder missing", "missing", "does not exist", "-- folder-missing: "},
          {"archive write fails", "full", "Cannot write", "-- write-failed: Cannot write"},
          {"extraction write fails", "full-later", "Cannot write", "-- extraction-failed: "},
          {"archive over its bound", "large", "is over 1000 bytes", "-- archive-too-large: "}})
        QTest::newRow(name) << QString(fault) << QString(message) << QByteArray(why);
}

// The download ends with a message, nothing is left half written, and the
// next download works once the disk is back (or the bound raised).
void TestHistoric::diskFaults() {
    QFETCH(QString, fault);
    QFETCH(QString, message);
    Desk t(fault != "missing");
    const QByteArray zip = MakeZip({{"traderXYZ~1M", bars(2000)}});
    {
        std::optional<DiskFull> full;
        // The archive is some 10 KB, its series some 70 KB.
        if (fault == "full") full.emplace(1000);
        if (fault == "full-later") full.emplace(30000);
        if (fault == "large") t.history.maxArchiveBytes = 1000;
        t.request("XYZ", 1);
        QCOMPARE(t.download("XYZ", zip), fault != "missing");
        QVERIFY2(t.panel.status.contains(message.toLatin1()), t.panel.status.constData());
        // A failed extraction leaves the download to the server's next
        // ending message: here it drops the connection.
        if (fault == "full-later") t.history.failed(10054, QStringLiteral("reset"));
        QVERIFY(t.ended());
    }
    t.history.maxArchiveBytes = HistoricSession::DefaultMaxArchiveBytes;
    QVERIFY(t.host.ended.isEmpty());
    QFETCH(QByteArray, why);
    QCOMPARE(t.panel.ended.size(), 1);
    QVERIFY2(t.panel.ended.at(0).startsWith(why), t.panel.ended.at(0).constData());
    if (fault != "missing") {
        QVERIFY(!t.exists("ToDecompress.zip"));
        QVERIFY(!t.exists("XYZ.QX1M"));
        QVERIFY(!t.exists("traderXYZ~1M")); // not left cut short
    } else {
        QVERIFY(!QDir(t.folder()).exists()); // never created
        QDir().mkpath(t.folder());
    }
    t.request("XYZ", 1);
    QVERIFY(t.download("XYZ", zip));
    QCOMPARE(t.host.ended.size(), 1);
    QCOMPARE(t.read("XYZ.QX1M"), bars(2000));
}

// An archive with entries that would leave the folder: nothing leaves it,
// and the download stays in progress until "Logoff Hist", which drops every
// queued request; the next download works.
void TestHistoric::hostileArchiveThenLogoffHist() {
    Desk t;
    t.request("XYZ", 1);
    t.request("ABC", 1);
    QVERIFY(t.download("XYZ", MakeZip({{"traderXYZ~1M", "ok"},
                                       {"../escaped", "bad"},
                                       {"lnk", {}, ZipEntry::Symlink, "/etc"}})));
    QVERIFY(t.panel.status.contains("not extracted"));
    QVERIFY(!QFile::exists(t.dir.path() + "/escaped"));
    QVERIFY(!QFileInfo(t.folder() + "/lnk").isSymLink());
    QVERIFY(!t.exists("ToDecompress.zip"));
    QVERIFY(t.host.ended.isEmpty());
    QVERIFY(!t.ended());
    QVERIFY(t.panel.logoffHistVisible);
    t.history.logoffHistButton();
    QVERIFY(t.ended());
    // Its end says why; the queued one it dropped ends too.
    QCOMPARE(t.panel.ended.size(), 2);
    QVERIFY(t.panel.ended.at(0).startsWith("-- extraction-failed: "));
    QCOMPARE(t.panel.ended.at(1), QByteArray("-- cancelled: Logoff Hist"));
    QCOMPARE(t.history.list.count(), 0);
    QVERIFY(!t.panel.logoffHistVisible);
    QCOMPARE(t.historicSocket.state, int(SocketComponent::Closed));
    t.request("XYZ", 1);
    QVERIFY(t.download("XYZ", MakeZip({{"traderXYZ~1M", "good"}})));
    QCOMPARE(t.host.ended.size(), 1);
    QCOMPARE(t.read("XYZ.QX1M"), QByteArray("good"));
}

QTEST_MAIN(TestHistoric)
#include "test_historic.moc"
