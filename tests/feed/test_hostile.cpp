// The real-time connection against servers that misbehave: whatever arrives,
// the client keeps running, its receive buffer stays bounded, and a valid
// frame that follows is handled.
#include "support/live_client.h"

#include <QRandomGenerator>
#include <QTcpServer>

using namespace qxd;

namespace {

// What the receive buffer may hold at most: one frame that can still become
// valid plus one chunk that is not dropped, with the buffer's slack.
constexpr qsizetype BufferBound = 4 * (MaxFrame + FeedSession::DropChunk);

QByteArray randomBytes(qsizetype n, quint32 seed) {
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator g(seed);
    g.fillRange(reinterpret_cast<quint32*>(b.data()), n / 4);
    return b;
}

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
    void garbage_data();
    void garbage();
    void resetInsideAFrame();
    void refusedConnection();
};

void TestHostileFeed::garbage_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("writes");
    QTest::newRow("opening mark, then megabytes without a closing mark")
        << QByteArray("`5") + QByteArray(64 * 1024, 'x') << 64;
    QTest::newRow("huge length field")
        << QByteArray("`9999999999") + QByteArray(40000, '7') + "~" << 1;
    QTest::newRow("random bytes") << randomBytes(256 * 1024, 7) << 8;
    QTest::newRow("opening marks only") << QByteArray(100000, '`') << 4;
    QTest::newRow("5001-byte chunk of valid frames") << [] {
        QByteArray b;
        while (b.size() < 5001) b += ConverteToSend(Compress("@lost"));
        return b;
    }() << 1;
}

void TestHostileFeed::garbage() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, writes);
    Live l;
    QVERIFY(l.logOn());
    for (int i = 0; i < writes; ++i) l.server.sendRaw(bytes);
    QTest::qWait(100);
    // A broken frame ends at the next closing mark.
    l.server.sendRaw("~");
    QVERIFY(recovers(l, "recovered"));
    QVERIFY(l.feed().extractor().capacity() <= BufferBound);
    QVERIFY(l.feed().loggedOn());
}

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
    QVERIFY(l.feed().extractor().capacity() <= BufferBound);
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
