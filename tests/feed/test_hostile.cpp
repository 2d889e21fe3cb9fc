// The real-time connection against servers that misbehave on the socket: a
// reset inside a frame, a refused connection. (Garbage bytes are the fuzz
// target's and the extractor's tests'.)
#include "support/live_client.h"

#include <QTcpServer>

using namespace qxd;

namespace {

// Sends a note until the client shows it: the frame that follows a broken
// one can be cut together with it and lost, the one after that is not.
bool recovers(Live& l, const QByteArray& text) {
    for (int i = 0; i < 50; ++i) {
        l.server.send("@" + text);
        if (QTest::qWaitFor([&] { return l.c->controls.statusLine == text; }, 200)) return true;
    }
    return false;
}

} // namespace

class TestHostileFeed : public QObject {
    Q_OBJECT
private slots:
    void resetInsideAFrame();
    void refusedConnection();
};

void TestHostileFeed::resetInsideAFrame() {
    Live l(50);
    l.c->controls.reconnect = 1;
    QVERIFY(l.logOn());
    l.server.sendRaw("`3100" + QByteArray(50, 'q'));
    QTest::qWait(50);
    l.server.resetPeer();
    // The loss is reported and the timer brings the connection back; the
    // unfinished frame costs the first frame of the new connection only.
    QTRY_VERIFY_WITH_TIMEOUT(l.server.connections >= 2, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(l.server.connected(), 5000);
    QVERIFY(recovers(l, "after the reset"));
    QVERIFY(l.feed().extractor().capacity() <= 4 * MaxFrame); // one frame, with slack
}

void TestHostileFeed::refusedConnection() {
    quint16 port;
    {
        QTcpServer s;
        QVERIFY(s.listen(QHostAddress::LocalHost, 0));
        port = s.serverPort();
    }
    Live l(50);
    l.c->controls.reconnect = 1;
    l.c->controls.serverPort = QByteArray::number(port);
    l.feed().logonButton();
    QTRY_VERIFY(!l.c->controls.statusLine.isEmpty());
    QCOMPARE(l.feed().loggedOn(), false);
    // A server that comes up later on that port is reached by the retries.
    QTcpServer late;
    if (!late.listen(QHostAddress::LocalHost, port)) QSKIP("the port was taken meanwhile");
    QTRY_VERIFY_WITH_TIMEOUT(late.hasPendingConnections(), 5000);
}

QTEST_MAIN(TestHostileFeed)
#include "test_hostile.moc"
