#include "app/client_core.h"
#include "app/main_window.h"
#include "automation/client_status.h"
#include "automation/qxdclientcls.h"
#include "support/fake_socket.h"
#include "wire/frame.h"
#include "wire/pack.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <bit>
#include <cstring>

using namespace qxd;

namespace {

// A fresh shared window for each test, with settings in a folder of its own.
struct Env {
    QTemporaryDir dir;
    Env() {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
        ClientCore::destroyInstance();
        QXDClientCLS::setProgramEnd(nullptr);
    }
    ~Env() { ClientCore::destroyInstance(); }
    ClientCore& w() { return *ClientCore::instance(); }
};

// The shared client's next instance runs over fake sockets (feed, historic)
// whose events the test raises.
std::pair<FakeSocket*, FakeSocket*> fakeSockets() {
    auto* feed = new FakeSocket;
    auto* historic = new FakeSocket;
    ClientOptions o;
    o.feed.reset(feed);
    o.historic.reset(historic);
    ClientCore::setInstanceOptions(std::move(o));
    return {feed, historic};
}

// Writes a hand-off as the parsers do.
void handOff(ClientCore& w, std::int16_t kind, const QByteArray& text = "x") {
    w.handoff.vType = kind;
    w.handoff.setData(text);
}

} // namespace

class TestAutomation : public QObject {
    Q_OBJECT
private slots:
    void eventsOnlyAfterIniciar();
    void relayKinds_data();
    void relayKinds();
    void handOffDuringHandler();
    void forwarding();
    void callsBeforeIniciar_data();
    void callsBeforeIniciar();
    void lifeCount();
    void theEndIsAtOnce();
    void statusInProcess();
};

void TestAutomation::eventsOnlyAfterIniciar() {
    Env e;
    QXDClientCLS o;
    QCOMPARE(o.mClassCont, 1);
    QSignalSpy ready(&o, &QXDClientCLS::FeederReady);
    QVERIFY(o.AddSymbol("ABC").isEmpty()); // reaches the window, which says why it sent nothing
    QCOMPARE(e.w().controls.statusLine, QByteArray("Not yet logged on"));
    handOff(e.w(), KindTrade);
    QCOMPARE(ready.count(), 0);
    QVERIFY(o.Iniciar("/home/t/data").isEmpty());
    QVERIFY(e.w().isLoaded());
    QCOMPARE(e.w().handoff.Diretorio, QByteArray("/home/t/data/"));
    handOff(e.w(), KindTrade);
    QCOMPARE(ready.count(), 1);
    o.Iniciar("/x/"); // the folder keeps its own separator
    QCOMPARE(e.w().handoff.Diretorio, QByteArray("/x/"));
}

void TestAutomation::relayKinds_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("event"); // empty: none
    QTest::addColumn<int>("flag");
    QTest::newRow("trade") << 0 << "FeederReady" << 0;
    QTest::newRow("time") << 1 << "NewTime" << -1;
    QTest::newRow("logon") << 2 << "RequestAllSimbols" << -1;
    QTest::newRow("complete") << 3 << "FeederReady" << 1;
    QTest::newRow("download") << 5 << "EndDownload" << -1;
    QTest::newRow("other") << 6 << "" << -1;
}

void TestAutomation::relayKinds() {
    QFETCH(int, kind);
    QFETCH(QString, event);
    QFETCH(int, flag);
    Env e;
    QXDClientCLS o;
    o.Iniciar({});
    HandOff& h = e.w().handoff;
    o.Flag = 9;
    o.nTicks = 5;
    o.Simbolo = "OLD";
    h.vSimbolo = "NEW";
    // Fields that must come through bit for bit: a NaN with a payload, a negative zero.
    float* fields[] = {&h.vLast, &h.vLastS, &h.vChange, &h.vBid,      &h.vBidS, &h.vAsk, &h.vAskS,
                       &h.vOpen, &h.vHi,    &h.vLow,    &h.vPrevious, &h.vOInt, &h.vVol, &h.vTime};
    for (int i = 0; i < 14; ++i) *fields[i] = float(i + 1) + 0.25f;
    h.vLast = std::bit_cast<float>(0x7fc01234u);
    h.vBid = -0.0f;
    h.vTicks = 3;
    h.vQuvantixServerDateTime = 38190.5;
    h.VInterval = -1;
    QStringList events;
    QList<QVariant> args;
    connect(&o, &QXDClientCLS::FeederReady, this, [&] { events << "FeederReady"; });
    connect(&o, &QXDClientCLS::RequestAllSimbols, this, [&] { events << "RequestAllSimbols"; });
    connect(&o, &QXDClientCLS::NewTime, this, [&](double t) {
        events << "NewTime";
        args << t;
    });
    connect(&o, &QXDClientCLS::EndDownload, this, [&](const QByteArray& s, float ty) {
        events << "EndDownload";
        args << s << ty;
    });
    handOff(e.w(), std::int16_t(kind));
    QCOMPARE(events, event.isEmpty() ? QStringList() : QStringList{event});
    QCOMPARE(int(o.Flag), flag < 0 ? 9 : flag);
    // nTicks only from trades; the quote only from quote kinds.
    QCOMPARE(int(o.nTicks), kind == 0 ? 3 : 5);
    QCOMPARE(o.Simbolo, QByteArray(flag < 0 ? "OLD" : "NEW"));
    if (flag >= 0) {
        QCOMPARE(std::bit_cast<std::uint32_t>(o.Last), 0x7fc01234u);
        QVERIFY(std::signbit(o.Bid));
        QCOMPARE((QList<float>{o.LastS, o.Change, o.BidS, o.Ask, o.AskS, o.OpenV, o.High, o.Low,
                               o.Previous, o.OInt, o.Vol, o.TimeV}),
                 (QList<float>{2.25f, 3.25f, 5.25f, 6.25f, 7.25f, 8.25f, 9.25f, 10.25f, 11.25f,
                               12.25f, 13.25f, 14.25f}));
    }
    if (kind == 1) {
        QCOMPARE(args, QList<QVariant>{38190.5});
        QCOMPARE(o.QuvantixServerDateTime, 38190.5);
    }
    if (kind == 5) QCOMPARE(args, (QList<QVariant>{QByteArray("NEW"), -1.0f}));
}

// A hand-off completed inside a handler is seen by the tests after it in
// the same run.
void TestAutomation::handOffDuringHandler() {
    Env e;
    QXDClientCLS o;
    o.Iniciar({});
    QStringList events;
    connect(&o, &QXDClientCLS::RequestAllSimbols, this, [&] {
        events << "RequestAllSimbols";
        e.w().handoff.vType = KindComplete; // changed under the running relay
    });
    connect(&o, &QXDClientCLS::FeederReady, this, [&] { events << "FeederReady"; });
    handOff(e.w(), KindLogon);
    QCOMPARE(events, (QStringList{"RequestAllSimbols", "FeederReady"}));
}

void TestAutomation::forwarding() {
    Env e;
    QXDClientCLS o;
    o.Iniciar({});
    // RequestHistoricData: empty or comma-first symbols are dropped.
    o.RequestHistoricData({}, 1, 1, 2);
    o.RequestHistoricData(",X", 1, 1, 2);
    o.RequestHistoricData("X,Y", 1, 3, 4);
    QCOMPARE(e.w().history.list.count(), 1);
    QCOMPARE(e.w().history.list.startDate(1), 3.0);
    // ShowMe restores a minimised window.
    e.w().hideButton();
    QVERIFY(o.ShowMe().isEmpty());
    QVERIFY(!e.w().view()->isMinimized());
}

// Only a call that shows the window or uses its controls loads it: the
// download list and a LogOff while not logged on leave it unloaded, with
// no settings read and no timer running, and a load error is not theirs.
// A load that fails reaches the caller of the call that loaded.
void TestAutomation::callsBeforeIniciar_data() {
    QTest::addColumn<QString>("call");
    QTest::addColumn<bool>("loads");
    QTest::newRow("RequestHistoricData") << "RequestHistoricData" << false;
    QTest::newRow("LogOff") << "LogOff" << false;
    QTest::newRow("AddSymbol") << "AddSymbol" << true;
    QTest::newRow("RequestSymbol") << "RequestSymbol" << true;
    QTest::newRow("ShowMe") << "ShowMe" << true;
    QTest::newRow("Iniciar") << "Iniciar" << true;
}

void TestAutomation::callsBeforeIniciar() {
    QFETCH(QString, call);
    QFETCH(bool, loads);
    Env e;
    QFile ini(e.dir.path() + "/QXDATA.INI");
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[QXDATA]\nUserName=kept\nReconnect=7\n");
    ini.close();
    QXDClientCLS o;
    QString err;
    if (call == "RequestHistoricData") err = o.RequestHistoricData("XYZ", 1, 37988, 38169);
    if (call == "LogOff") err = o.LogOff();
    if (call == "AddSymbol") err = o.AddSymbol("XYZ");
    if (call == "RequestSymbol") err = o.RequestSymbol("XYZ");
    if (call == "ShowMe") err = o.ShowMe();
    if (call == "Iniciar") err = o.Iniciar("/x");
    QVERIFY(!o.started()); // a load that fails starts nothing
    QCOMPARE(e.w().isLoaded(), loads);
    QCOMPARE(err.contains("Reconnect"), loads);
    QCOMPARE(e.w().controls.userName, QByteArray(loads ? "kept" : ""));
    QCOMPARE(e.w().schedulerTimer.timer.isActive(), loads);
    QCOMPARE(e.w().reconnectTimer.timer.isActive(), loads);
    if (call != "RequestHistoricData") return;
    // The queued download waits for the load, which Iniciar brings with the
    // folder set before the historic timer's first tick.
    QCOMPARE(e.w().history.list.count(), 1);
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.close();
    QVERIFY(o.Iniciar("/data").isEmpty());
    QVERIFY(e.w().schedulerTimer.timer.isActive());
    QCOMPARE(e.w().handoff.Diretorio, QByteArray("/data/"));
}

// Releasing the last object ends the program (started or not); in process, with
// no program end set, the client stops, says so and delivers nothing more. A
// released object is gone whatever its count, and is released once.
void TestAutomation::lifeCount() {
    Env e;
    int ended = 0;
    QXDClientCLS::setProgramEnd([&] { ++ended; });
    {
        QXDClientCLS never;
        never.Release();
        QCOMPARE(ended, 1);
    }
    QXDClientCLS::setProgramEnd(nullptr);
    QXDClientCLS keep; // other objects still count: it runs on
    keep.Iniciar({});
    keep.mClassCont = 5;
    QSignalSpy keepReady(&keep, &QXDClientCLS::FeederReady);
    keep.Release();
    keep.Release(); // a second release is no release
    QCOMPARE(keep.mClassCont, 4);
    QVERIFY(e.w().isLoaded());
    handOff(e.w(), KindTrade);
    QCOMPARE(keepReady.count(), 0);
    QVERIFY(!keep.ShowMe().isEmpty());
    QXDClientCLS p;
    p.Iniciar({});
    QSignalSpy stopped(&p, &QXDClientCLS::clientStopped);
    QSignalSpy ready(&p, &QXDClientCLS::FeederReady);
    p.Release();
    QCOMPARE(stopped.count(), 1);
    QVERIFY(!e.w().isLoaded());
    QVERIFY(!e.w().reconnectTimer.timer.isActive());
    QVERIFY(!e.w().schedulerTimer.timer.isActive());
    handOff(e.w(), KindTrade);
    QCOMPARE(ready.count(), 0);
}

// A host's handler releases the last object in the middle of a chunk: the
// listeners after it and the rest of the chunk reach nobody, later bytes of
// either socket are not read, and no call loads the window again.
void TestAutomation::theEndIsAtOnce() {
    Env e;
    auto [sock, sockhist] = fakeSockets();
    QXDClientCLS other, last;
    last.Iniciar({}); // heard first: `other` must not hear the trade it ends on
    other.Iniciar({});
    sock->state = sockhist->state = SocketComponent::Open;
    QSignalSpy otherReady(&other, &QXDClientCLS::FeederReady);
    connect(&last, &QXDClientCLS::FeederReady, this, [&] { last.Release(); });
    const QByteArray trade = ConverteToSend(Compress("$PETR4,10.5,100,-0.25,1500,3"));
    sock->arrive(trade + trade);
    QCOMPARE(otherReady.count(), 0);
    QVERIFY(e.w().stopped());
    QCOMPARE(sock->state, int(SocketComponent::Closed));
    QCOMPARE(sockhist->state, int(SocketComponent::Closed));
    const std::int32_t received = e.w().feed.received();
    sock->arrive(trade);
    sockhist->arrive(ConverteToSend(Compress("#BXYZ,1")));
    QCOMPARE(e.w().feed.received(), received);
    QCOMPARE(e.w().history.received(), 0);
    QCOMPARE(otherReady.count(), 0);
    QVERIFY(other.ShowMe().contains("stopped"));
    QVERIFY(!e.w().isLoaded());
}

// The status a host reads in process: the feed's states as the dialogue
// goes, notes, subscriptions, an overload at most once a second, the
// download list, and a transfer without bytes for a minute.
void TestAutomation::statusInProcess() {
    Env e;
    auto [sock, sockhist] = fakeSockets();
    ClientStatus& status = ClientStatus::instance();
    QCOMPARE(status.feedState(), QStringLiteral("idle")); // before Iniciar
    QXDClientCLS o;
    QDir(e.dir.path()).mkpath("indataqx");
    o.Iniciar(QFile::encodeName(e.dir.path()));
    ClientCore& w = e.w();
    qint64 now = 0;
    w.statusClock = [&] { return now; };
    QSignalSpy states(&status, &ClientStatus::FeedStateChanged), notes(&status, &ClientStatus::Note),
        overloads(&status, &ClientStatus::Overloaded);
    w.feed.logonButton();
    sock->state = SocketComponent::Open;
    w.feed.connected();
    for (const char* m : {"#USER?", "#L", "@Delayed quotes"}) w.feed.dispatch(m);
    QCOMPARE(states.size(), 3);
    QCOMPARE(status.feedState(), QStringLiteral("logged-on"));
    QCOMPARE(notes.value(0).value(0).toString(), QStringLiteral("Delayed quotes"));
    o.AddSymbol("PETR4");
    o.RequestHistoricData("XYZ", 1, 37988, 38169);
    QCOMPARE(status.subscriptions(), QStringList{"PETR4"});
    const DownloadEntry queued{"XYZ", 1, 37988, 38169, QStringLiteral("pending")};
    QCOMPARE(status.downloads(), QList<DownloadEntry>{queued});

    const QByteArray chunk(3000, 'j'); // over the limit: its complete quotes are skipped
    for (int i = 0; i < 2; ++i) {
        sock->arrive(chunk);
        w.refreshStatus();
    }
    QCOMPARE(overloads.size(), 1); // the second waits for its second
    now += 1000;
    w.refreshStatus();
    QCOMPARE(overloads.size(), 2);
    QCOMPARE(overloads.at(1), (QList<QVariant>{quint64(1), quint64(0)}));
    QCOMPARE(status.skippedChunks(), quint64(2));

    w.history.schedulerTick();
    sockhist->state = SocketComponent::Open;
    for (const char* m : {"#L", "#BXYZ,1"}) w.history.dispatch(m);
    w.refreshStatus();
    QCOMPARE(status.historicState(), QStringLiteral("transferring"));
    QCOMPARE(status.downloads().value(0).state, QStringLiteral("active"));
    now += ClientStatus::StallSeconds * 1000;
    w.refreshStatus();
    QCOMPARE(status.historicState(), QStringLiteral("stalled"));
    w.history.dispatch("*0,3,abc");
    w.refreshStatus();
    QCOMPARE(status.historicState(), QStringLiteral("transferring"));
    QCOMPARE(status.downloadBytes(), quint64(3));
    o.LogOff();
    QCOMPARE(status.feedState(), QStringLiteral("logged-off"));
}

QTEST_MAIN(TestAutomation)
#include "test_automation.moc"
