#include "app/qxdclient.h"
#include "support/fake_socket.h"
#include "support/feed_server.h"
#include "support/live_client.h"
#include "wire/pack.h"

#include <QElapsedTimer>
#include <QTest>

#include <functional>
#include <stdexcept>
#include <utility>

using namespace qxd;

namespace {

// A client whose socket is a fake: chunks arrive exactly as the test cuts them.
struct Fake {
    FakeSocket* sock = new FakeSocket;
    std::unique_ptr<QXDClient> c;
    Host host;
    Fake() {
        ClientOptions o;
        o.settingsPath = QStringLiteral("/nonexistent/QXDATA.INI");
        o.sock.reset(sock);
        c = std::make_unique<QXDClient>(std::move(o));
        c->messageBox = [](const QByteArray&) {};
        sock->state = SocketComponent::Open;
        c->handoff.bind(&host);
    }
    FeedConnection& feed() { return c->feed; }
    void arrive(const QByteArray& bytes) { sock->arrive(bytes); }
    QList<QByteArray> sentMessages() const {
        QList<QByteArray> out;
        FrameExtractor ex;
        for (QByteArray s : sock->sent) out.append(ex.ExtractFrame(s));
        return out;
    }
};

QByteArray frame(const QByteArray& m) {
    return ConverteToSend(Compress(m));
}

} // namespace

class TestFeed : public QObject {
    Q_OBJECT
private slots:
    void logonDialogue();
    void refusalStopsAutomaticLogon();
    void lossReconnects_data();
    void lossReconnects();
    void lossWithoutReconnectSettings();
    void logoffClick();
    void dispatcher_data();
    void dispatcher();
    void chunkThresholds();
    void busyPollRate_data();
    void busyPollRate();
    void busyPollFollowsTheFeed();
    void busyPollRoom_data();
    void busyPollRoom();
    void busyPollRecentRate();
    void busyPollYieldsACrowdedMachine();
    void acknowledgements();
    void messageBoxHoldsTheLoop();
    void workingLoweredOnException();
    void subscriptions();
};

void TestFeed::logonDialogue() {
    Live t;
    t.c->ctl.UserName = " tra der ";
    QVERIFY(t.logOn());
    QTRY_COMPARE(t.server.received, (QList<QByteArray>{"!trader", "^pw", "&1", "#T"}));
    QCOMPARE(t.c->ctl.Command1, QByteArray("Logoff"));
    QCOMPARE(t.c->ctl.Label1, QByteArray("connected"));
    QVERIFY(!t.c->Timer1.isActive());
    QCOMPARE(t.host.kinds, QList<int>{KindLogon});
    QVERIFY(t.host.texts.at(0).startsWith("RQS "));
    // A second "#L" neither answers nor asks the host.
    t.server.send("#L");
    QTest::qWait(50);
    QCOMPARE(t.server.count("#T"), 1);
    QCOMPARE(t.host.kinds.size(), 1);
}

void TestFeed::refusalStopsAutomaticLogon() {
    Live t;
    t.c->ctl.Password = "wrong";
    t.c->ctl.TryReconnectV = 1;
    t.feed().Command1_Click();
    QTRY_COMPARE(t.feed().LogonRefused, std::int16_t(1));
    QCOMPARE(t.c->ctl.Label1, QByteArray("Invalid User Name or Password"));
    QVERIFY(t.c->sock.State() == SocketComponent::Open); // the socket stays open
    t.server.closePeer();
    // The loss arms the timer; its first tick disables it without a logon.
    QTRY_VERIFY(!t.c->Timer1.isActive());
    QTest::qWait(200);
    QCOMPARE(t.server.connections, 1);
    // A click still logs on.
    t.c->ctl.Password = "pw";
    QVERIFY(t.logOn());
    QCOMPARE(t.feed().LogonRefused, std::int16_t(0));
}

// However the connection goes, the timer logs on again and the host's
// symbols are subscribed anew.
void TestFeed::lossReconnects_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("server signs off") << 0;
    QTest::newRow("orderly close") << 1;
    QTest::newRow("reset") << 2;
}

void TestFeed::lossReconnects() {
    QFETCH(int, how);
    Live t;
    t.c->ctl.TryReconnectV = 1;
    t.host.react = [&](const HandOff& h) {
        if (h.vType == KindLogon) t.feed().AddSymbol("PETR4");
    };
    QVERIFY(t.logOn());
    QTRY_COMPARE(t.server.count("#APETR4"), 1);
    if (how == 0)
        t.server.send("#N");
    else if (how == 1)
        t.server.closePeer();
    else
        t.server.resetPeer();
    QTRY_COMPARE(t.server.count("#APETR4"), 2);
    QCOMPARE(t.server.connections, 2);
    QCOMPARE(t.host.kinds, (QList<int>{KindLogon, KindLogon}));
    QCOMPARE(t.feed().SymbolList().size(), size_t(1));
    QCOMPARE(t.feed().Reconnecting, std::int16_t(0)); // cleared by "#TIPO?"
    QCOMPARE(t.c->Timer1.interval(), 100000);
}

void TestFeed::lossWithoutReconnectSettings() {
    Live t;
    t.c->ctl.TryReconnectV = 0;
    QVERIFY(t.logOn());
    t.server.closePeer();
    QTRY_COMPARE(t.c->ctl.Command1, QByteArray("Logon"));
    QCOMPARE(t.feed().LoggedOn, std::int16_t(0));
    // The timer keeps ticking at 1 ms, each tick doing nothing.
    QCOMPARE(t.c->Timer1.interval(), 1);
    QTest::qWait(100);
    QCOMPARE(t.server.connections, 1);
}

void TestFeed::logoffClick() {
    Live t;
    t.c->ctl.TryReconnectV = 1;
    QVERIFY(t.logOn());
    t.feed().Command1_Click();
    QCOMPARE(t.c->sock.State(), int(SocketComponent::Closed));
    QCOMPARE(t.c->ctl.Command1, QByteArray("Logon"));
    QCOMPARE(t.c->ctl.Label1, QByteArray("Closing socket"));
    QTRY_COMPARE(t.server.count("#N"), 1);
    QTest::qWait(100);
    QVERIFY(!t.c->Timer1.isActive()); // no close event: no reconnect
    QCOMPARE(t.server.connections, 1);
    QVERIFY(!t.c->sender.SendToServer("#AXYZ")); // shut: nothing more is sent
}

// Each row: one message; what the window shows after, whether it counted as
// a control message (raised ReconnectOnClose and stopped Timer1) and the
// hand-off kind (-1 none).
void TestFeed::dispatcher_data() {
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QByteArray>("label1");
    QTest::addColumn<QByteArray>("label2");
    QTest::addColumn<bool>("control");
    QTest::addColumn<int>("kind");
    auto row = [](const char* name, QByteArray msg, QByteArray l1, QByteArray l2, bool control,
                  int kind) { QTest::newRow(name) << msg << l1 << l2 << control << kind; };
    row("empty", "", "", "Label2", false, -1);
    row("#EABC", "#EABC", "", "Symbol ABC does not exist", false, -1);
    row("requested quote", "#DABC,1,2", "", "ABC,1,2", false, KindRequested);
    row("#Bxyz", "#Bxyz", "", "Label2", true, -1);
    row("#O", "#O", "Invalid User Name or Password", "Label2", true, -1);
    row("@Delayed", "@Delayed", "Delayed", "Label2", false, -1);
    row("trade", "$A,1", "", "Label2", false, KindTrade);
    row("complete", "{A,1", "", "Label2", false, KindComplete);
}

void TestFeed::dispatcher() {
    QFETCH(QByteArray, msg);
    QFETCH(QByteArray, label1);
    QFETCH(QByteArray, label2);
    QFETCH(bool, control);
    QFETCH(int, kind);
    Fake f;
    f.c->Timer1.start(30000);
    f.feed().ProcessData(msg);
    QCOMPARE(f.c->ctl.Label1, label1);
    QCOMPARE(f.c->ctl.Label2, label2);
    QCOMPARE(f.feed().ReconnectOnClose, control);
    QCOMPARE(f.c->Timer1.isActive(), !control);
    QCOMPARE(f.host.kinds, kind < 0 ? QList<int>{} : QList<int>{kind});
}

void TestFeed::chunkThresholds() {
    Fake f;
    const QByteArray trade = frame("$A,1,1,1,1,1");
    auto chunkOf = [&](qsizetype size, const QByteArray& body) {
        return body + QByteArray(size - body.size(), 'j'); // junk without an opening mark
    };
    // Exactly 2000 bytes: handled, not overloaded.
    f.arrive(chunkOf(2000, frame("{A,1") + trade));
    QCOMPARE(f.feed().Overloaded, std::int16_t(0));
    QCOMPARE(f.c->ctl.Cont1Back, Back::LightGrey);
    QCOMPARE(f.host.kinds, (QList<int>{KindComplete, KindTrade}));
    // 2001 bytes: complete quotes skipped, trades still handled.
    f.arrive(chunkOf(2001, frame("{A,1") + trade));
    QCOMPARE(f.c->ctl.Cont1Back, Back::Yellow);
    QCOMPARE(f.host.kinds, (QList<int>{KindComplete, KindTrade, KindTrade}));
    // 5001 bytes: dropped whole, the count stands still.
    const int before = f.feed().ReceivedCount;
    f.arrive(chunkOf(5001, trade));
    QCOMPARE(f.feed().ReceivedCount, before);
    QCOMPARE(f.host.kinds.size(), 3);
    // A small chunk ends the overload.
    f.arrive(frame("{A,1"));
    QCOMPARE(f.feed().Overloaded, std::int16_t(0));
    QCOMPARE(f.host.kinds.last(), int(KindComplete));
}

void TestFeed::busyPollRate_data() {
    QTest::addColumn<bool>("polling");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<bool>("next");
    QTest::newRow("asleep, at the start rate") << false << qint64(100000) << qint64(100) << true;
    QTest::newRow("asleep, a byte short") << false << qint64(99999) << qint64(100) << false;
    QTest::newRow("polling, below the start rate") << true << qint64(50000) << qint64(100) << true;
    QTest::newRow("polling, a byte under half") << true << qint64(49999) << qint64(100) << false;
    QTest::newRow("a short window, judged by rate") << false << qint64(10000) << qint64(10) << true;
    QTest::newRow("a long window, judged by rate")
        << false << qint64(120000) << qint64(150) << false;
    QTest::newRow("no time, judged as a millisecond") << false << qint64(1000) << qint64(0) << true;
    QTest::newRow("quiet") << true << qint64(0) << qint64(100) << false;
}

void TestFeed::busyPollRate() {
    QFETCH(bool, polling);
    QFETCH(qint64, bytes);
    QFETCH(qint64, ms);
    QTEST(BusyPoll::Next(polling, bytes, ms), "next");
}

void TestFeed::busyPollFollowsTheFeed() {
    Fake f;
    // The machine's idle time is left out: a busy machine (a parallel test
    // run) would keep polling from starting. That has a test of its own.
    f.feed().busyPoll().setIdleClock([] { return qint64(-1); });
    const QByteArray junk(5000, 'j');
    auto flood = [&] {
        QElapsedTimer t;
        t.start();
        while (!f.feed().busyPoll().polling() && t.elapsed() < 5000) {
            f.arrive(junk);
            f.arrive(junk);
            QTest::qWait(1);
        }
        return f.feed().busyPoll().polling();
    };
    QVERIFY(!f.feed().busyPoll().polling());
    QVERIFY(flood());
    // A feed gone quiet lets the thread sleep again without another read.
    QTRY_VERIFY(!f.feed().busyPoll().polling());
    QVERIFY(flood());
    f.feed().sock_Close();
    QVERIFY(!f.feed().busyPoll().polling());
}

void TestFeed::busyPollRoom_data() {
    QTest::addColumn<qint64>("idleMs");
    QTest::addColumn<qint64>("ownCpuMs");
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<bool>("room");
    // Polling takes the rest of one CPU; a fifth of one must be left.
    QTest::newRow("beside the feed's sender") << qint64(100) << qint64(60) << qint64(100) << true;
    QTest::newRow("one idle CPU, a light reader")
        << qint64(100) << qint64(10) << qint64(100) << false;
    QTest::newRow("at the mark") << qint64(90) << qint64(30) << qint64(100) << true;
    QTest::newRow("a millisecond under") << qint64(89) << qint64(30) << qint64(100) << false;
    QTest::newRow("beside a bus daemon and a host")
        << qint64(5) << qint64(30) << qint64(100) << false;
    QTest::newRow("own time beyond the window") << qint64(50) << qint64(150) << qint64(100) << true;
}

void TestFeed::busyPollRoom() {
    QFETCH(qint64, idleMs);
    QFETCH(qint64, ownCpuMs);
    QFETCH(qint64, ms);
    QTEST(BusyPoll::Room(idleMs, ownCpuMs, ms), "room");
}

// The window paces its refresh by this: a burst after a quiet spell must
// show at once, not averaged with the quiet.
void TestFeed::busyPollRecentRate() {
    BusyPoll p;
    p.setIdleClock([] { return qint64(-1); });
    p.arrived(10);
    QTest::qWait(60);
    p.arrived(10);
    QCOMPARE(p.recentCharsPerMs(), qint64(0));
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5) p.arrived(100), QTest::qWait(1); // bytes at 100 or more a ms
    QVERIFY2(p.recentCharsPerMs() >= 20, QByteArray::number(p.recentCharsPerMs()));
    QTest::qWait(60);
    QVERIFY2(p.recentCharsPerMs() < 20, QByteArray::number(p.recentCharsPerMs()));
}

void TestFeed::busyPollYieldsACrowdedMachine() {
    BusyPoll p;
    // A machine whose CPUs are idle `idlePercent` of one CPU from now on,
    // and a reader that uses `ownPercent` of one.
    QElapsedTimer clock;
    clock.start();
    qint64 idlePercent = -1, ownPercent = 20;
    auto meter = [&](const qint64& percent) {
        return [&clock, &percent, total = qint64(0), last = qint64(0)]() mutable -> qint64 {
            const qint64 now = clock.elapsed();
            total += (now - std::exchange(last, now)) * std::max<qint64>(0, percent) / 100;
            return percent < 0 ? -1 : total;
        };
    };
    p.setIdleClock(meter(idlePercent));
    p.setCpuClock(meter(ownPercent));
    // A fast feed for `ms`, or until `stop`; whether the thread polled.
    auto fastFeed = [&](int ms, const std::function<bool()>& stop = {}) {
        QElapsedTimer t;
        t.start();
        bool polled = false;
        while (t.elapsed() < ms && !(stop && stop())) {
            p.arrived(100000);
            polled |= p.polling();
            QTest::qWait(1);
        }
        return polled;
    };
    // Where the idle time cannot be read, polling goes on.
    fastFeed(150);
    QVERIFY(p.polling());
    // A CPU to spare.
    idlePercent = 100;
    fastFeed(250);
    QVERIFY(p.polling());
    // None: polling ends, and the fast feed does not start it again until
    // the back-off is over.
    idlePercent = 0;
    fastFeed(1000, [&] { return !p.polling(); });
    QVERIFY(!p.polling());
    QVERIFY(p.crowded());
    QVERIFY(!fastFeed(300));
    // Nor after the back-off while the machine, with the thread asleep,
    // has less idle time than polling would take.
    idlePercent = 60;
    QTest::qWait(BusyPoll::CrowdedBackoffMs);
    QVERIFY(!fastFeed(300));
    // Room again: polling starts once a window has shown it.
    idlePercent = 150;
    QVERIFY(fastFeed(1000, [&] { return p.polling(); }));
    QVERIFY(!p.crowded());
}

void TestFeed::acknowledgements() {
    Fake f;
    QByteArray many;
    for (int i = 0; i < 100; ++i) many += frame("]1");
    for (int i = 0; i < 10; ++i) f.arrive(many);
    QCOMPARE(f.feed().ReceivedCount, 1000);
    QCOMPARE(f.sentMessages(), (QList<QByteArray>{"#R500", "#R500", "#R1000", "#R1000"}));
    f.c->sender.LogoffFlag = 1; // none while logging off
    for (int i = 0; i < 5; ++i) f.arrive(many);
    QCOMPARE(f.sock->sent.size(), 4);
}

void TestFeed::messageBoxHoldsTheLoop() {
    Live t;
    QVERIFY(t.logOn());
    QList<QByteArray> boxes;
    int kindsWhileOpen = -1;
    t.c->messageBox = [&](const QByteArray& text) {
        boxes.append(text);
        t.server.send("$SYM,1"); // the server sends on; nothing is read
        QTest::qWait(100);
        kindsWhileOpen = int(t.host.kinds.size());
    };
    t.server.send("@@Closing at six");
    QTRY_COMPARE(boxes, QList<QByteArray>{"Closing at six"});
    QCOMPARE(kindsWhileOpen, 1);
    QTRY_COMPARE(t.host.kinds.size(), 2); // read once the box closed
    QCOMPARE(t.feed().Working, std::int16_t(0));
}

void TestFeed::workingLoweredOnException() {
    Fake f;
    f.host.react = [](const HandOff&) { throw std::runtime_error("host failed"); };
    f.sock->waiting = frame("$A,1");
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, f.feed().sock_DataArrival());
    QCOMPARE(f.feed().Working, std::int16_t(0));
    f.host.react = nullptr;
    f.arrive(frame("$B,1"));
    QCOMPARE(f.host.symbols.last(), QByteArray("B"));
}

void TestFeed::subscriptions() {
    Fake f;
    FeedConnection& fc = f.feed();
    // Not logged on: shown, nothing sent, nothing listed.
    QVERIFY(!fc.AddSymbol("ABC"));
    QCOMPARE(f.c->ctl.Label1, QByteArray("Not yet logged on"));
    QVERIFY(fc.SymbolList().empty());

    fc.ProcessData("#L");
    f.sock->sent.clear();
    QVERIFY(!fc.RequestSymbol("X Y"));
    fc.AddSymbol("PE TR4");
    fc.AddSymbol("PETR4"); // found: not listed again, but sent again
    fc.AddSymbol("petr4"); // other case: a new entry
    const QByteArray longSym(25, 'L');
    fc.AddSymbol(longSym);
    fc.AddSymbol(longSym); // the cut entry does not match: listed again
    QVERIFY(fc.AddSymbol(QByteArray(40000, 'Z')).number != 0); // too long for a frame
    QCOMPARE(fc.SymbolList(),
             (std::vector<QByteArray>{"PE TR4               ", "petr4                ",
                                      QByteArray(21, 'L'), QByteArray(21, 'L')}));
    QCOMPARE(f.sentMessages().mid(0, 3), (QList<QByteArray>{"#CXY", "#APETR4", "#APETR4"}));
    // During the logoff wait the list still grows but nothing is sent.
    f.c->sender.LogoffFlag = 1;
    f.sock->sent.clear();
    fc.AddSymbol("NEW");
    fc.ReDoSymbols();
    QCOMPARE(fc.SymbolList().size(), size_t(5));
    QVERIFY(f.sock->sent.isEmpty());
}

QTEST_MAIN(TestFeed)
#include "test_feed.moc"
