// The feed session driven with events and bytes: no sockets, no event loop.
// (The whole client over real sockets is the D-Bus test's.)
#include "support/session_rig.h"
#include "wire/pack.h"

#include <QTest>

#include <stdexcept>

using namespace qxd;

namespace {

QByteArray frame(const QByteArray& m) {
    return ConverteToSend(Compress(m));
}

// A rig whose feed has gone through the logon dialogue.
struct LoggedOn : SessionRig {
    RecordingHost host;
    LoggedOn() {
        handoff.bind(&host);
        feed.logonButton();
        feedSocket.state = SocketComponent::Open;
        feed.connected();
        for (const char* m : {"#USER?", "#PASS?", "#TIPO?", "#L"}) feed.dispatch(m);
        host.kinds.clear();
        host.symbols.clear();
        feedSocket.sent.clear();
    }
};

} // namespace

class TestFeed : public QObject {
    Q_OBJECT
private slots:
    void logonDialogue();
    void dispatcher_data();
    void dispatcher();
    void losses_data();
    void losses();
    void refusalStopsAutomaticLogon();
    void logoff();
    void failedStartIsRetriedOnce();
    void chunkThresholds();
    void acknowledgements();
    void noteHoldsTheLoop();
    void receivingLoweredOnException();
    void subscriptions();
};

void TestFeed::logonDialogue() {
    SessionRig r;
    RecordingHost host;
    r.handoff.bind(&host);
    r.panel.user = " tra der ";
    r.feedSocket.state = SocketComponent::Closed;
    r.feed.logonButton();
    QCOMPARE(r.feed.state(), FeedState::Connecting);
    QCOMPARE(r.feedSocket.connects, 1);
    QCOMPARE(r.panel.logonsStarted, 1);
    r.feedSocket.state = SocketComponent::Open;
    r.feed.connected();
    QCOMPARE(r.panel.status, QByteArray("connected"));
    for (const char* m : {"#USER?", "#PASS?", "#TIPO?", "#L"}) r.feed.dispatch(m);
    QCOMPARE(SessionRig::written(r.feedSocket), (QList<QByteArray>{"!trader", "^pw", "&1", "#T"}));
    QCOMPARE(r.feed.state(), FeedState::LoggedOn);
    QCOMPARE(r.panel.logonCaption, QByteArray("Logoff"));
    QCOMPARE(host.kinds, QList<int>{KindLogon});
    QVERIFY(r.handoff.Data().startsWith("RQS "));
    // A second "#L" neither answers nor asks the host.
    r.feed.dispatch("#L");
    QCOMPARE(r.feedSocket.sent.size(), 4);
    QCOMPARE(host.kinds.size(), 1);
}

// Each row: one message to a logged-on feed; what the window shows after,
// whether it was a control message (it stops the reconnect timer), the
// hand-off kind (-1 none) and the state after.
void TestFeed::dispatcher_data() {
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("control");
    QTest::addColumn<int>("kind");
    QTest::addColumn<FeedState>("state");
    const auto on = FeedState::LoggedOn;
    auto row = [](const char* name, QByteArray msg, QByteArray status, QByteArray message,
                  bool control, int kind, FeedState state) {
        QTest::newRow(name) << msg << status << message << control << kind << state;
    };
    row("empty", "", "", "Label2", false, -1, on);
    row("#EABC", "#EABC", "", "Symbol ABC does not exist", false, -1, on);
    row("requested quote", "#DABC,1,2", "", "ABC,1,2", false, KindRequested, on);
    row("#Bxyz", "#Bxyz", "", "Label2", true, -1, on);
    row("#O", "#O", "Invalid User Name or Password", "Label2", true, -1, FeedState::Refused);
    row("#N", "#N", "Server is disconnecting", "#N", true, -1, FeedState::Lost);
    row("unknown control", "#Q", "", "#Q", true, -1, on);
    row("@Delayed", "@Delayed", "Delayed", "Label2", false, -1, on);
    row("note without text", "@@", "", "Label2", false, -1, on);
    row("trade", "$A,1", "", "Label2", false, KindTrade, on);
    row("complete", "{A,1", "", "Label2", false, KindComplete, on);
    row("server time", "}200407221530", "", "Label2", false, KindTime, on);
    row("server time without minutes", "}2004072215", "", "Label2", false, -1, on);
}

void TestFeed::dispatcher() {
    QFETCH(QByteArray, msg);
    QFETCH(FeedState, state);
    LoggedOn r;
    r.panel.status.clear();
    r.reconnectTimer.start(30000);
    r.feed.dispatch(msg);
    QTEST(r.panel.status, "status");
    QTEST(r.panel.message, "message");
    QFETCH(bool, control);
    // "#N" arms the timer again at once.
    QCOMPARE(r.reconnectTimer.active, !control || msg == "#N");
    QFETCH(int, kind);
    QCOMPARE(r.host.kinds, kind < 0 ? QList<int>{} : QList<int>{kind});
    QCOMPARE(r.feed.state(), state);
    QCOMPARE(r.panel.serverNotes.size(), msg.startsWith('@') && msg.size() > 2 ? 1 : 0);
}

// However an established dialogue is lost, the timer logs on again at once
// (with the password typed and the box ticked). When the server asks the
// client kind, the symbols are subscribed anew, which sends nothing before
// the logon is accepted: the host subscribes on the acceptance.
void TestFeed::losses_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("server signs off") << 0;
    QTest::newRow("orderly close") << 1;
    QTest::newRow("error") << 2;
}

void TestFeed::losses() {
    QFETCH(int, how);
    LoggedOn r;
    r.panel.reconnect = true;
    r.feed.addSymbol("PETR4");
    if (how == 0)
        r.feed.dispatch("#N");
    else if (how == 1)
        r.feed.closedByPeer();
    else
        r.feed.failed(10054, "Connection reset by peer");
    QCOMPARE(r.feed.state(), FeedState::Lost);
    QCOMPARE(r.panel.logonCaption, QByteArray("Logon"));
    QVERIFY(r.reconnectTimer.active);
    QCOMPARE(r.reconnectTimer.interval, 1);
    r.feedSocket.state = SocketComponent::Closed;
    r.feedSocket.sent.clear();
    r.feed.reconnectTick();
    QCOMPARE(r.reconnectTimer.interval, r.feed.reconnectIntervalMs);
    QCOMPARE(r.feedSocket.connects, 2);
    QVERIFY(r.feed.reconnecting());
    r.feedSocket.state = SocketComponent::Open;
    r.feed.dispatch("#TIPO?");
    r.feed.dispatch("#L");
    QVERIFY(!r.feed.reconnecting());
    QCOMPARE(r.panel.status, QByteArray("Not yet logged on"));
    QCOMPARE(SessionRig::written(r.feedSocket), (QList<QByteArray>{"&1", "#T"}));
    QCOMPARE(r.feed.received(), 3);
    QCOMPARE(r.feed.symbols().size(), size_t(1));

    // A loss before the server spoke arms nothing.
    r.feed.logonButton(); // log off
    r.feed.logonButton(); // and on again
    r.feed.closedByPeer();
    QCOMPARE(r.feed.state(), FeedState::Idle);
}

void TestFeed::refusalStopsAutomaticLogon() {
    LoggedOn r;
    r.panel.reconnect = true;
    r.feed.dispatch("#O");
    QVERIFY(r.feed.logonRefused());
    QCOMPARE(r.panel.status, QByteArray("Invalid User Name or Password"));
    QVERIFY(r.feedSocket.state == SocketComponent::Open); // the socket stays open
    r.feed.closedByPeer();
    // The loss arms the timer; its first tick disables it without a logon.
    QVERIFY(r.reconnectTimer.active);
    r.feed.reconnectTick();
    QVERIFY(!r.reconnectTimer.active);
    QCOMPARE(r.feedSocket.connects, 1);
    // A click still logs on, and an acceptance lifts the refusal.
    r.feed.logonButton();
    QCOMPARE(r.feedSocket.connects, 2);
    r.feed.dispatch("#L");
    QVERIFY(!r.feed.logonRefused());
}

void TestFeed::logoff() {
    LoggedOn r;
    r.reconnectTimer.stop();
    int sentAtFirstYield = -1;
    r.onYield = [&] {
        if (sentAtFirstYield < 0) sentAtFirstYield = int(r.feedSocket.sent.size());
    };
    r.feed.logonButton();
    QCOMPARE(sentAtFirstYield, 1); // the sign-off left before the wait
    QCOMPARE(r.yields, FeedSession::LogoffYields);
    QCOMPARE(SessionRig::written(r.feedSocket), QList<QByteArray>{"#N"});
    QCOMPARE(r.feedSocket.state, int(SocketComponent::Closed));
    QCOMPARE(r.feed.state(), FeedState::LoggedOff);
    QCOMPARE(r.panel.logonCaption, QByteArray("Logon"));
    QCOMPARE(r.panel.status, QByteArray("Closing socket"));
    QVERIFY(!r.reconnectTimer.active);
    QVERIFY(!r.sender.SendToServer("#AXYZ")); // shut: nothing more is sent
    QCOMPARE(r.feedSocket.sent.size(), 1);
    r.feed.logOff(); // not logged on: nothing
    QCOMPARE(r.yields, FeedSession::LogoffYields);
}

void TestFeed::failedStartIsRetriedOnce() {
    SessionRig r;
    r.feedSocket.state = SocketComponent::Closed;
    r.feedSocket.connectFailure = {10049, "Address is not available"};
    r.feed.logonButton();
    QCOMPARE(r.feedSocket.connects, 2);
    QCOMPARE(r.yields, 103);
    QCOMPARE(r.panel.status, QByteArray("Address is not available"));
    QCOMPARE(r.feedSocket.state, int(SocketComponent::Closed));
}

void TestFeed::chunkThresholds() {
    LoggedOn r;
    const QByteArray trade = frame("$A,1,1,1,1,1");
    auto chunkOf = [&](qsizetype size, const QByteArray& body) {
        return body + QByteArray(size - body.size(), 'j'); // junk without an opening mark
    };
    // Exactly 2000 bytes: handled, not overloaded.
    r.arrive(chunkOf(2000, frame("{A,1") + trade));
    QVERIFY(!r.panel.overloaded);
    QCOMPARE(r.host.kinds, (QList<int>{KindComplete, KindTrade}));
    // 2001 bytes: complete quotes skipped, trades still handled.
    r.arrive(chunkOf(2001, frame("{A,1") + trade));
    QVERIFY(r.panel.overloaded);
    QCOMPARE(r.host.kinds, (QList<int>{KindComplete, KindTrade, KindTrade}));
    // 5001 bytes: dropped whole, the count stands still.
    const int before = r.feed.received();
    r.arrive(chunkOf(5001, trade));
    QCOMPARE(r.feed.received(), before);
    QCOMPARE(r.host.kinds.size(), 3);
    QCOMPARE(r.feed.counters().skippedChunks, 2);
    QCOMPARE(r.feed.counters().droppedChunks, 1);
    // A small chunk ends the overload.
    r.arrive(frame("{A,1"));
    QVERIFY(!r.panel.overloaded);
    QCOMPARE(r.host.kinds.last(), int(KindComplete));
}

void TestFeed::acknowledgements() {
    LoggedOn r;
    QByteArray many;
    for (int i = 0; i < 100; ++i) many += frame("]1");
    for (int i = 0; i < 10; ++i) r.arrive(many);
    QCOMPARE(r.feed.received(), 1000);
    QCOMPARE(r.panel.received, 1000);
    QCOMPARE(SessionRig::written(r.feedSocket),
             (QList<QByteArray>{"#R500", "#R500", "#R1000", "#R1000"}));
    r.sender.shut = true; // none while logging off
    for (int i = 0; i < 5; ++i) r.arrive(many);
    QCOMPARE(r.feedSocket.sent.size(), 4);
}

// A note's modal box lets events run; bytes that arrive then wait in the
// socket until the loop is done, and the loop yields between messages.
void TestFeed::noteHoldsTheLoop() {
    LoggedOn r;
    r.panel.onNote = [&](const QByteArray&) { r.arrive(frame("$SYM,1")); };
    r.arrive(frame("@@Closing at six") + frame("$A,1"));
    QCOMPARE(r.panel.notes, QList<QByteArray>{"Closing at six"});
    QCOMPARE(r.panel.serverNotes, r.panel.notes); // told before the box
    QCOMPARE(r.host.symbols, QList<QByteArray>{"A"});
    QCOMPARE(r.feedSocket.rearms, 1); // the loop asks for the waiting bytes
    r.feed.readable();
    QCOMPARE(r.host.symbols, (QList<QByteArray>{"A", "SYM"}));
    QCOMPARE(r.yields, 1);
}

void TestFeed::receivingLoweredOnException() {
    LoggedOn r;
    r.host.react = [](const HandOff&) { throw std::runtime_error("host failed"); };
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, r.arrive(frame("$A,1")));
    r.host.react = nullptr;
    r.arrive(frame("$B,1"));
    QCOMPARE(r.host.symbols.last(), QByteArray("B"));
}

void TestFeed::subscriptions() {
    SessionRig r;
    FeedSession& f = r.feed;
    // Not logged on: shown, nothing sent, nothing listed.
    QVERIFY(!f.addSymbol("ABC"));
    QCOMPARE(r.panel.status, QByteArray("Not yet logged on"));
    QVERIFY(f.symbols().empty());

    f.dispatch("#L");
    r.feedSocket.sent.clear();
    QVERIFY(!f.requestSymbol("X Y"));
    f.addSymbol("PE TR4");
    f.addSymbol("PETR4"); // found: not listed again, but sent again
    f.addSymbol("petr4"); // other case: a new entry
    const QByteArray longSym(25, 'L');
    f.addSymbol(longSym);
    f.addSymbol(longSym); // the cut entry does not match: listed again
    QVERIFY(f.addSymbol(QByteArray(40000, 'Z')).number != 0); // too long for a frame
    QCOMPARE(f.symbols(), (std::vector<QByteArray>{"PE TR4               ", "petr4                ",
                                                   QByteArray(21, 'L'), QByteArray(21, 'L')}));
    QCOMPARE(SessionRig::written(r.feedSocket).mid(0, 3),
             (QList<QByteArray>{"#CXY", "#APETR4", "#APETR4"}));
    // During the logoff wait the list still grows but nothing is sent.
    r.sender.shut = true;
    r.feedSocket.sent.clear();
    f.addSymbol("NEW");
    f.resubscribeAll();
    QCOMPARE(f.symbols().size(), size_t(5));
    QVERIFY(r.feedSocket.sent.isEmpty());
}

QTEST_GUILESS_MAIN(TestFeed)
#include "test_feed.moc"
