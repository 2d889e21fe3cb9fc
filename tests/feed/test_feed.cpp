#include "app/qxdclient.h"
#include "support/fake_socket.h"
#include "support/feed_server.h"
#include "support/live_client.h"
#include "wire/pack.h"

#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

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
        for (const QByteArray& f : sock->sent) {
            QByteArray s = f;
            out.append(ex.ExtractFrame(s));
        }
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
    void serverSignOffReconnects();
    void peerCloseAndErrorArmTheTimer_data();
    void peerCloseAndErrorArmTheTimer();
    void lossWithoutReconnectSettings();
    void automaticLogonAtStart();
    void reconnectResubscribes();
    void logoffClick();
    void logonClickClosesOpenSocket();
    void connectFailsAtOnce();
    void recordsEndToEnd();
    void splitAndMergedReads();
    void dispatcher_data();
    void dispatcher();
    void prompts();
    void serverTime_data();
    void serverTime();
    void chunkThresholds();
    void roundsAndRemainder();
    void acknowledgements();
    void messageBoxHoldsTheLoop();
    void workingLoweredOnException();
    void subscriptions();
    void symbolList();
};

void TestFeed::logonDialogue() {
    Live t;
    t.c->ctl.UserName = " tra der ";
    QVERIFY(t.logOn());
    QTRY_COMPARE(t.server.received, (QList<QByteArray>{"!trader", "^pw", "&1", "#T"}));
    QCOMPARE(t.c->ctl.Command1, QByteArray("Logoff"));
    QCOMPARE(t.c->ctl.Label1, QByteArray("connected"));
    QVERIFY(t.feed().ReconnectOnClose);
    QVERIFY(!t.c->Timer1.isActive());
    QCOMPARE(t.host.kinds, QList<int>{KindLogon});
    QVERIFY(t.host.texts.at(0).startsWith("RQS "));
    QCOMPARE(t.host.texts.at(0).size(), 12);
    // A second "#L" sets the flags again but neither answers nor asks the host.
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
    QCOMPARE(t.c->ctl.Command1, QByteArray("Logon"));
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

void TestFeed::serverSignOffReconnects() {
    Live t;
    t.c->ctl.TryReconnectV = 1;
    QVERIFY(t.logOn());
    t.server.send("#N");
    QTRY_COMPARE(t.server.connections, 2); // the 1 ms tick logged on again
    QTRY_COMPARE(t.feed().LoggedOn, std::int16_t(1));
    QCOMPARE(t.c->ctl.Label2, QByteArray("#N"));
    QCOMPARE(t.feed().Reconnecting, std::int16_t(0)); // cleared by "#TIPO?"
    QCOMPARE(t.c->Timer1.interval(), 100000);
}

void TestFeed::peerCloseAndErrorArmTheTimer_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("orderly close") << false;
    QTest::newRow("reset") << true;
}

void TestFeed::peerCloseAndErrorArmTheTimer() {
    QFETCH(bool, reset);
    Live t;
    t.c->ctl.TryReconnectV = 1;
    QVERIFY(t.logOn());
    if (reset)
        t.server.resetPeer();
    else
        t.server.closePeer();
    QTRY_COMPARE(t.server.connections, 2);
    QTRY_COMPARE(t.feed().LoggedOn, std::int16_t(1));
    QCOMPARE(t.host.kinds, (QList<int>{KindLogon, KindLogon}));
}

void TestFeed::lossWithoutReconnectSettings() {
    Live t;
    t.c->ctl.TryReconnectV = 0;
    QVERIFY(t.logOn());
    t.server.closePeer();
    QTRY_COMPARE(t.c->ctl.Command1, QByteArray("Logon"));
    QCOMPARE(t.feed().LoggedOn, std::int16_t(0));
    // The timer keeps ticking at 1 ms, each tick doing nothing.
    QVERIFY(t.c->Timer1.isActive());
    QCOMPARE(t.c->Timer1.interval(), 1);
    QTest::qWait(100);
    QCOMPARE(t.server.connections, 1);

    // A peer close before any control message does nothing at all.
    Live u;
    u.server.autoLogon = false;
    u.feed().Command1_Click();
    QTRY_COMPARE(u.c->ctl.Label1, QByteArray("connected"));
    u.server.closePeer();
    QTest::qWait(100);
    QCOMPARE(u.c->ctl.Label1, QByteArray("connected"));
    QCOMPARE(u.c->Timer1.interval(), 100000);
}

void TestFeed::automaticLogonAtStart() {
    Live t(100);
    t.c->ctl.TryReconnectV = 1;
    QTRY_COMPARE(t.feed().LoggedOn, std::int16_t(1));
    QVERIFY(!t.c->Timer1.isActive()); // the server's prompts stopped it
    QCOMPARE(t.server.connections, 1);
}

void TestFeed::reconnectResubscribes() {
    Live t;
    t.c->ctl.TryReconnectV = 1;
    // The host subscribes its symbols whenever the feed asks for them.
    t.host.react = [&](const HandOff& h) {
        if (h.vType == KindLogon) {
            t.feed().AddSymbol("PETR4");
            t.feed().AddSymbol("VALE3");
        }
    };
    QVERIFY(t.logOn());
    QTRY_COMPARE(t.server.count("#AVALE3"), 1);
    t.server.closePeer();
    QTRY_COMPARE(t.server.count("#AVALE3"), 2);
    QCOMPARE(t.server.count("#APETR4"), 2);
    QCOMPARE(t.feed().SymbolList().size(), size_t(2));
    QCOMPARE(t.feed().ReceivedCount, 5); // 3 at "#TIPO?", then "#TIPO?" and "#L" counted
}

void TestFeed::logoffClick() {
    Live t;
    t.c->ctl.TryReconnectV = 1;
    QVERIFY(t.logOn());
    t.feed().Command1_Click();
    QCOMPARE(t.c->sock.State(), int(SocketComponent::Closed));
    QCOMPARE(t.c->ctl.Command1, QByteArray("Logon"));
    QCOMPARE(t.c->ctl.Label1, QByteArray("Closing socket"));
    QCOMPARE(t.c->sender.LogoffFlag, std::int16_t(1));
    QTRY_COMPARE(t.server.count("#N"), 1);
    QTest::qWait(100);
    QVERIFY(!t.c->Timer1.isActive()); // no close event: no reconnect
    QCOMPARE(t.server.connections, 1);
    // Shut: nothing more is sent through SendToServer.
    QVERIFY(!t.c->sender.SendToServer("#AXYZ"));
}

void TestFeed::logonClickClosesOpenSocket() {
    Live t;
    t.server.autoLogon = false;
    t.feed().Command1_Click();
    QTRY_COMPARE(t.c->ctl.Label1, QByteArray("connected"));
    t.feed().ReceivedCount = 7;
    t.c->ReceivedCountHist = 9;
    t.feed().Command1_Click(); // not logged on: the logon path again
    QCOMPARE(t.feed().ReceivedCount, 0);
    QCOMPARE(t.c->ReceivedCountHist, 0);
    QTRY_COMPARE(t.server.connections, 2);
}

void TestFeed::connectFailsAtOnce() {
    Fake f;
    f.sock->state = SocketComponent::Closed;
    f.sock->connectFailure = {10049, QStringLiteral("Address is not available")};
    f.feed().Command1_Click();
    QCOMPARE(f.sock->connects, 2); // retried once
    QVERIFY(f.sock->closes >= 102);
    QCOMPARE(f.c->ctl.Label1, QByteArray("Address is not available"));
    QCOMPARE(f.sock->state, int(SocketComponent::Closed));

    // A port that is not a number reads as 0.
    f.c->ctl.ServerPort = "abc";
    f.feed().Command1_Click();
    QCOMPARE(f.sock->RemotePort, 0);
}

void TestFeed::recordsEndToEnd() {
    Live t;
    QVERIFY(t.logOn());
    t.server.send("$SYM,10.5,100,-0.25,1500,3");
    t.server.send("{SYM,1,2,3,4,5,6,7,8,9,10,11,12,13,14");
    t.server.send("#DSYM,1,2,3,4,5,6,7,8,9,10,11,12,13,14");
    t.server.send("}200407221530");
    QTRY_COMPARE(t.host.kinds.size(), 5);
    QCOMPARE(t.host.kinds,
             (QList<int>{KindLogon, KindTrade, KindComplete, KindRequested, KindTime}));
    QCOMPARE(t.host.texts.mid(1), (QList<QByteArray>{"SYM 1", "SYM 1", "SYM 1", "200407221530"}));
    QCOMPARE(t.c->handoff.vLast, 4.0f);
    QCOMPARE(t.c->handoff.vTicks, std::int16_t(3));
}

void TestFeed::splitAndMergedReads() {
    Live t;
    QVERIFY(t.logOn());
    QByteArray stream;
    for (int i = 1; i <= 30; ++i)
        stream += frame("$S" + QByteArray::number(i) + ",1.5,100,0.1,1000,1");
    // The first half one byte at a time, the rest in one write.
    const qsizetype half = stream.size() / 2;
    for (qsizetype i = 0; i < half; ++i) {
        t.server.sendRaw(stream.mid(i, 1));
        if (i % 16 == 0) QTest::qWait(1);
    }
    t.server.sendRaw(stream.mid(half));
    QTRY_COMPARE(t.host.kinds.size(), 31);
    for (int i = 1; i <= 30; ++i) QCOMPARE(t.host.symbols.at(i), "S" + QByteArray::number(i));
}

// Each row: one message; what the window and the connection state show after.
void TestFeed::dispatcher_data() {
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QByteArray>("label1");
    QTest::addColumn<QByteArray>("label2");
    QTest::addColumn<bool>("control"); // raised ReconnectOnClose and stopped Timer1
    QTest::addColumn<int>("kind");     // hand-off kind, -1 none
    QTest::newRow("empty") << QByteArray() << QByteArray() << QByteArray("Label2") << false << -1;
    QTest::newRow("#D alone is a control message")
        << QByteArray("#D") << QByteArray() << QByteArray("#D") << true << -1;
    QTest::newRow("#EABC") << QByteArray("#EABC") << QByteArray()
                           << QByteArray("Symbol ABC does not exist") << false << -1;
    QTest::newRow("requested quote") << QByteArray("#DABC,1,2") << QByteArray()
                                     << QByteArray("ABC,1,2") << false << int(KindRequested);
    QTest::newRow("#Bxyz") << QByteArray("#Bxyz") << QByteArray() << QByteArray("Label2") << true
                           << -1;
    QTest::newRow("#B alone") << QByteArray("#B") << QByteArray() << QByteArray("#B") << true << -1;
    QTest::newRow("prompt with trailing blank")
        << QByteArray("#USER? ") << QByteArray() << QByteArray("#USER? ") << true << -1;
    QTest::newRow("other control")
        << QByteArray("#Q") << QByteArray() << QByteArray("#Q") << true << -1;
    QTest::newRow("#N") << QByteArray("#N") << QByteArray("Server is disconnecting")
                        << QByteArray("#N") << false << -1;
    QTest::newRow("#O") << QByteArray("#O") << QByteArray("Invalid User Name or Password")
                        << QByteArray("Label2") << true << -1;
    QTest::newRow("@Delayed") << QByteArray("@Delayed") << QByteArray("Delayed")
                              << QByteArray("Label2") << false << -1;
    QTest::newRow("@ alone") << QByteArray("@") << QByteArray() << QByteArray("Label2") << false
                             << -1;
    QTest::newRow("@x") << QByteArray("@x") << QByteArray() << QByteArray("Label2") << false << -1;
    QTest::newRow("plain text") << QByteArray("hello") << QByteArray() << QByteArray("hello")
                                << false << -1;
    QTest::newRow("trade") << QByteArray("$A,1") << QByteArray() << QByteArray("Label2") << false
                           << int(KindTrade);
    QTest::newRow("complete") << QByteArray("{A,1") << QByteArray() << QByteArray("Label2") << false
                              << int(KindComplete);
    QTest::newRow("time") << QByteArray("}200407221530") << QByteArray() << QByteArray("Label2")
                          << false << int(KindTime);
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
    if (msg != "#N") {
        QCOMPARE(f.feed().ReconnectOnClose, control);
        QCOMPARE(f.c->Timer1.isActive(), !control);
    } else {
        // "#N" raises ReconnectOnClose, then arms the timer and lowers it.
        QVERIFY(!f.feed().ReconnectOnClose);
        QCOMPARE(f.c->Timer1.interval(), 1);
        QVERIFY(f.c->Timer1.isActive());
    }
    QCOMPARE(f.host.kinds, kind < 0 ? QList<int>{} : QList<int>{kind});
}

void TestFeed::prompts() {
    Fake f;
    f.c->ctl.UserName = " j doe ";
    f.c->ctl.Password = "p w";
    f.feed().ProcessData("#USER?");
    f.feed().ProcessData("#PASS?");
    f.feed().ProcessData("#TIPO?");
    f.c->sender.LogoffFlag = 1; // answers go out all the same
    f.feed().ProcessData("#L");
    QCOMPARE(f.sentMessages(), (QList<QByteArray>{"!jdoe", "^pw", "&1", "#T"}));
    f.c->ctl.UserName.clear();
    f.feed().ProcessData("#USER?");
    QCOMPARE(f.sentMessages().last(), QByteArray("!"));
    QCOMPARE(f.c->sender.IsSending, std::int16_t(0));

    // "#TIPO?" after a timed logon: counter at 3 and the list resent.
    f.feed().Reconnecting = 1;
    f.feed().ReceivedCount = 99;
    f.feed().ProcessData("#TIPO?");
    QCOMPARE(f.feed().Reconnecting, std::int16_t(0));
    QCOMPARE(f.feed().ReceivedCount, 3);

    // An answer on a closed socket is dropped quietly.
    f.sock->state = SocketComponent::Closed;
    f.feed().ProcessData("#USER?");
}

void TestFeed::serverTime_data() {
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<double>("serial"); // -1: ignored
    QTest::newRow("22 July 2004 15:30") << QByteArray("}200407221530") << 38190.0 + 15.5 / 24;
    QTest::newRow("bytes after 12 ignored")
        << QByteArray("}20040722153059xx") << 38190.0 + 15.5 / 24;
    QTest::newRow("day carries") << QByteArray("}200402300000") << 38047.0;
    QTest::newRow("non-numeric year reads 0")
        << QByteArray("}xxxx07220000") << 36729.0; // 2000-07-22
    QTest::newRow("missing minute") << QByteArray("}2004072215") << -1.0;
    QTest::newRow("hour not a number") << QByteArray("}20040722ab30") << -1.0;
    QTest::newRow("empty") << QByteArray("}") << -1.0;
}

void TestFeed::serverTime() {
    QFETCH(QByteArray, msg);
    QFETCH(double, serial);
    Fake f;
    f.feed().ProcessData(msg);
    if (serial < 0) {
        QVERIFY(f.host.kinds.isEmpty());
        QCOMPARE(f.c->ctl.Caption, QByteArray("Quvantix Client"));
        return;
    }
    QCOMPARE(f.host.kinds, QList<int>{KindTime});
    QVERIFY(qAbs(f.c->handoff.vQuvantixServerDateTime - serial) < 1e-9);
    QCOMPARE(f.c->handoff.Data(), msg.mid(1));
    QCOMPARE(f.c->ctl.Caption, "QXD Client - " + msg.mid(1));
}

void TestFeed::chunkThresholds() {
    Fake f;
    // Exactly 2000 bytes: handled, not overloaded, light grey.
    const QByteArray trade = frame("$A,1,1,1,1,1");
    auto chunkOf = [&](qsizetype size, const QByteArray& body) {
        QByteArray c = body;
        c += QByteArray(size - c.size(), 'j'); // trailing junk without any opening mark
        return c;
    };
    f.arrive(chunkOf(2000, frame("{A,1") + trade));
    QCOMPARE(f.feed().Overloaded, std::int16_t(0));
    QCOMPARE(f.c->ctl.Cont1Back, Back::LightGrey);
    QCOMPARE(f.host.kinds, (QList<int>{KindComplete, KindTrade}));
    // 2001 bytes: complete quotes skipped, trades still handled, yellow.
    f.arrive(chunkOf(2001, frame("{A,1") + trade));
    QCOMPARE(f.feed().Overloaded, std::int16_t(1));
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

void TestFeed::roundsAndRemainder() {
    Fake f;
    // No complete frame: one round, Text1 emptied, the bytes wait.
    f.c->ctl.Text1 = "old";
    f.arrive("`15ab");
    QCOMPARE(f.feed().ReceivedCount, 1);
    QCOMPARE(f.c->ctl.Text1, QByteArray());
    QCOMPARE(f.c->ctl.NReceived, std::optional<std::int64_t>(1));
    // Three frames and a partial fourth: four rounds, Cont1 shows the
    // shrinking remainder.
    f.arrive("cde~" + frame("@one") + frame("@two") + "`12x");
    QCOMPARE(f.feed().ReceivedCount, 5);
    QCOMPARE(f.c->ctl.Label1, QByteArray("two"));
    QCOMPARE(f.c->ctl.Cont1, std::optional<std::int64_t>(4));
    QCOMPARE(f.c->ctl.Text1, QByteArray());
    QCOMPARE(f.c->ctl.Label2, QByteArray("abcde"));
    QCOMPARE(f.sock->rearms, 2);
}

void TestFeed::acknowledgements() {
    Fake f;
    QByteArray many;
    for (int i = 0; i < 100; ++i) many += frame("]1");
    for (int i = 0; i < 10; ++i) f.arrive(many);
    QCOMPARE(f.feed().ReceivedCount, 1000);
    QCOMPARE(f.sentMessages(), (QList<QByteArray>{"#R500", "#R500", "#R1000", "#R1000"}));
    // None while logging off.
    f.c->sender.LogoffFlag = 1;
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
        // While the box is open the server sends on; nothing is read.
        t.server.send("$SYM,1");
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
    // Not logged on: shown, nothing sent, nothing listed.
    QVERIFY(!f.feed().AddSymbol("ABC"));
    QVERIFY(!f.feed().RequestSymbol("ABC"));
    QCOMPARE(f.c->ctl.Label1, QByteArray("Not yet logged on"));
    QVERIFY(f.sock->sent.isEmpty());
    QVERIFY(f.feed().SymbolList().empty());
    f.feed().LogOff(); // does nothing while not logged on
    QCOMPARE(f.sock->closes, 0);

    f.feed().ProcessData("#L");
    f.sock->sent.clear();
    QVERIFY(!f.feed().AddSymbol(" A B "));
    QVERIFY(!f.feed().RequestSymbol("X Y"));
    QCOMPARE(f.sentMessages(), (QList<QByteArray>{"#AAB", "#CXY"}));
    // A symbol too long for a frame fails the call and is not listed.
    QVERIFY(f.feed().AddSymbol(QByteArray(40000, 'Z')).number != 0);
    QCOMPARE(f.feed().SymbolList().size(), size_t(1));
    // Closed socket: the guard holds even with LoggedOn raised.
    f.sock->state = SocketComponent::Closed;
    f.feed().AddSymbol("Q");
    QCOMPARE(f.c->ctl.Label1, QByteArray("Not yet logged on"));
}

void TestFeed::symbolList() {
    Fake f;
    f.feed().ProcessData("#L");
    FeedConnection& fc = f.feed();
    fc.AddSymbol("PE TR4");
    fc.AddSymbol("PETR4"); // found: not listed again, but sent again
    fc.AddSymbol("petr4"); // other case: a new entry
    const QByteArray longSym(25, 'L');
    fc.AddSymbol(longSym);
    fc.AddSymbol(longSym); // the cut entry does not match: listed again
    fc.AddSymbol("");
    fc.AddSymbol("");
    QCOMPARE(fc.SymbolList().size(), size_t(5));
    QCOMPARE(fc.SymbolList().at(0), QByteArray("PE TR4               "));
    QCOMPARE(fc.SymbolList().at(2), QByteArray(21, 'L'));
    QCOMPARE(fc.SymbolList().at(4), QByteArray(21, ' '));
    f.sock->sent.clear();
    fc.ReDoSymbols();
    QCOMPARE(f.sentMessages(), (QList<QByteArray>{"#APETR4", "#Apetr4", "#A" + QByteArray(21, 'L'),
                                                  "#A" + QByteArray(21, 'L'), "#A"}));
    QCOMPARE(fc.SymbolList().size(), size_t(5));
    // During the logoff wait the list still grows but nothing is sent.
    f.c->sender.LogoffFlag = 1;
    f.sock->sent.clear();
    fc.AddSymbol("NEW");
    QCOMPARE(fc.SymbolList().size(), size_t(6));
    QVERIFY(f.sock->sent.isEmpty());
}

QTEST_MAIN(TestFeed)
#include "test_feed.moc"
