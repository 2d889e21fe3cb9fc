#include "wire/socket.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <sys/socket.h>

using namespace qxd;

namespace {

// A server on 127.0.0.1 with an OS-chosen port; hands out the accepted peer.
struct Server {
    QTcpServer server;
    Server() { QVERIFY(server.listen(QHostAddress::LocalHost, 0)); }
    quint16 port() const { return server.serverPort(); }
    QTcpSocket* accept() {
        if (!server.hasPendingConnections() && !server.waitForNewConnection(5000)) return nullptr;
        return server.nextPendingConnection();
    }
};

void aim(TcpSocket& s, quint16 port, const char* host = "127.0.0.1") {
    s.RemoteHost = QString::fromLatin1(host);
    s.RemotePort = port;
}

} // namespace

class TestSocket : public QObject {
    Q_OBJECT
private slots:
    void connectSendReceive();
    void connectByName();
    void refused();
    void immediateFailures_data();
    void immediateFailures();
    void peerCloseIsCloseOnly();
    void peerResetIsError();
    void dataThenCloseKeepsOrder();
    void localCloseRaisesNothing();
    void splitAndMergedSegments();
    void turnedAwayBytesWait();
    void boundedRead();
    void everyByteValueBothWays();
};

void TestSocket::connectSendReceive() {
    Server srv;
    TcpSocket s;
    QSignalSpy connected(&s, &SocketComponent::connected);
    QSignalSpy arrival(&s, &SocketComponent::dataArrival);
    aim(s, srv.port());
    QVERIFY(!s.Connect());
    QVERIFY(s.State() != SocketComponent::Closed);
    QVERIFY(s.State() != SocketComponent::Open); // reported later, never inside Connect
    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(s.State(), int(SocketComponent::Open));

    QTcpSocket* peer = srv.accept();
    QVERIFY(peer);
    QVERIFY(!s.SendData("`12#T~"));
    QTRY_COMPARE(peer->bytesAvailable(), 6);
    QCOMPARE(peer->readAll(), QByteArray("`12#T~"));

    peer->write("hello");
    peer->flush();
    QTRY_COMPARE(arrival.count(), 1);
    QCOMPARE(s.GetData(), QByteArray("hello"));
    QCOMPARE(s.GetData(), QByteArray());

    // Connecting again while open is refused at once.
    QVERIFY(s.Connect().number != 0);
    QCOMPARE(s.State(), int(SocketComponent::Open));
}

void TestSocket::connectByName() {
    Server srv;
    TcpSocket s;
    QSignalSpy connected(&s, &SocketComponent::connected);
    aim(s, srv.port(), "localhost");
    QVERIFY(!s.Connect());
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 10000);
}

void TestSocket::refused() {
    quint16 port;
    {
        Server srv;
        port = srv.port();
    }
    TcpSocket s;
    QSignalSpy err(&s, &SocketComponent::error);
    QSignalSpy connected(&s, &SocketComponent::connected);
    aim(s, port);
    QVERIFY(!s.Connect()); // the refusal comes as an event
    QTRY_COMPARE(err.count(), 1);
    QVERIFY(err.at(0).at(0).toInt() != 0);
    QVERIFY(!err.at(0).at(1).toString().isEmpty());
    QCOMPARE(connected.count(), 0);
    QVERIFY(s.State() != SocketComponent::Closed);
    QVERIFY(s.SendData("x").number != 0);
    s.Close();
    QCOMPARE(s.State(), int(SocketComponent::Closed));
}

void TestSocket::immediateFailures_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("no host") << QString() << 1400;
    QTest::newRow("blank host") << QStringLiteral("  ") << 1400;
    QTest::newRow("port above range") << QStringLiteral("127.0.0.1") << 70000;
    QTest::newRow("negative port") << QStringLiteral("127.0.0.1") << -1;
}

void TestSocket::immediateFailures() {
    QFETCH(QString, host);
    QFETCH(int, port);
    TcpSocket s;
    QSignalSpy err(&s, &SocketComponent::error);
    s.RemoteHost = host;
    s.RemotePort = port;
    const SocketFailure f = s.Connect();
    QVERIFY(f.number != 0);
    QVERIFY(!f.description.isEmpty());
    QCOMPARE(s.State(), int(SocketComponent::Closed));
    QTest::qWait(20);
    QCOMPARE(err.count(), 0);
}

void TestSocket::peerCloseIsCloseOnly() {
    Server srv;
    TcpSocket s;
    QSignalSpy closed(&s, &SocketComponent::closed);
    QSignalSpy err(&s, &SocketComponent::error);
    QSignalSpy connected(&s, &SocketComponent::connected);
    aim(s, srv.port());
    s.Connect();
    QTRY_COMPARE(connected.count(), 1);
    QTcpSocket* peer = srv.accept();
    peer->disconnectFromHost();
    QTRY_COMPARE(closed.count(), 1);
    QTest::qWait(20);
    QCOMPARE(err.count(), 0);
    QCOMPARE(closed.count(), 1);
    QVERIFY(s.State() != SocketComponent::Open);
    s.Close();
    QCOMPARE(s.State(), int(SocketComponent::Closed));
}

void TestSocket::peerResetIsError() {
    Server srv;
    TcpSocket s;
    QSignalSpy closed(&s, &SocketComponent::closed);
    QSignalSpy err(&s, &SocketComponent::error);
    QSignalSpy connected(&s, &SocketComponent::connected);
    aim(s, srv.port());
    s.Connect();
    QTRY_COMPARE(connected.count(), 1);
    QTcpSocket* peer = srv.accept();
    // Linger 0 makes the close a reset.
    const linger lg{1, 0};
    ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    peer->abort();
    QTRY_COMPARE(err.count(), 1);
    QVERIFY(err.at(0).at(0).toInt() != 0);
    QTest::qWait(20);
    QCOMPARE(closed.count(), 0);
}

void TestSocket::dataThenCloseKeepsOrder() {
    Server srv;
    TcpSocket s;
    QList<QByteArray> events;
    connect(&s, &SocketComponent::dataArrival, &s, [&] { events.append("data:" + s.GetData()); });
    connect(&s, &SocketComponent::closed, &s, [&] { events.append("close"); });
    connect(&s, &SocketComponent::error, &s, [&] { events.append("error"); });
    QSignalSpy connected(&s, &SocketComponent::connected);
    aim(s, srv.port());
    s.Connect();
    QTRY_COMPARE(connected.count(), 1);
    QTcpSocket* peer = srv.accept();
    peer->write("#N");
    peer->disconnectFromHost();
    QTRY_VERIFY(events.contains("close"));
    QCOMPARE(events, (QList<QByteArray>{"data:#N", "close"}));
}

void TestSocket::localCloseRaisesNothing() {
    Server srv;
    TcpSocket s;
    QSignalSpy connected(&s, &SocketComponent::connected);
    aim(s, srv.port());
    s.Connect();
    QTRY_COMPARE(connected.count(), 1);
    QTcpSocket* peer = srv.accept();
    QSignalSpy closed(&s, &SocketComponent::closed);
    QSignalSpy err(&s, &SocketComponent::error);
    QSignalSpy arrival(&s, &SocketComponent::dataArrival);
    peer->write("late");
    s.Close();
    QCOMPARE(s.State(), int(SocketComponent::Closed));
    for (int i = 0; i < 100; ++i) s.Close(); // closing a closed socket leaves it closed
    QCOMPARE(s.State(), int(SocketComponent::Closed));
    QTest::qWait(50);
    QCOMPARE(closed.count(), 0);
    QCOMPARE(err.count(), 0);
    QCOMPARE(arrival.count(), 0);
    QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState); // the peer sees the close

    // A connect in progress is cancelled by Close as well.
    QSignalSpy connected2(&s, &SocketComponent::connected);
    s.Connect();
    s.Close();
    QTest::qWait(50);
    QCOMPARE(connected2.count(), 0);
    QCOMPARE(s.State(), int(SocketComponent::Closed));
}

void TestSocket::splitAndMergedSegments() {
    Server srv;
    TcpSocket s;
    QSignalSpy connected(&s, &SocketComponent::connected);
    QByteArray got;
    connect(&s, &SocketComponent::dataArrival, &s, [&] { got += s.GetData(); });
    aim(s, srv.port());
    s.Connect();
    QTRY_COMPARE(connected.count(), 1);
    QTcpSocket* peer = srv.accept();
    // A frame in three segments, then three frames in one.
    for (const char* part : {"`1", "5abc", "de~"}) {
        peer->write(part);
        peer->flush();
        QTest::qWait(5);
    }
    peer->write("`11a~`11b~`11c~");
    peer->flush();
    QTRY_COMPARE(got, QByteArray("`15abcde~`11a~`11b~`11c~"));
}

void TestSocket::turnedAwayBytesWait() {
    Server srv;
    TcpSocket s;
    QSignalSpy connected(&s, &SocketComponent::connected);
    bool busy = true;
    int turnedAway = 0;
    QByteArray got;
    connect(&s, &SocketComponent::dataArrival, &s, [&] {
        if (busy) {
            ++turnedAway;
            return;
        }
        got += s.GetData();
    });
    aim(s, srv.port());
    s.Connect();
    QTRY_COMPARE(connected.count(), 1);
    QTcpSocket* peer = srv.accept();
    peer->write("first");
    peer->flush();
    QTRY_COMPARE(turnedAway, 1);
    peer->write("second");
    peer->flush();
    QTest::qWait(50);
    QCOMPARE(turnedAway, 1); // no event storm while the bytes wait
    busy = false;
    s.Rearm();
    QTRY_COMPARE(got, QByteArray("firstsecond"));
}

void TestSocket::everyByteValueBothWays() {
    Server srv;
    TcpSocket s;
    QSignalSpy connected(&s, &SocketComponent::connected);
    QByteArray got;
    connect(&s, &SocketComponent::dataArrival, &s, [&] { got += s.GetData(); });
    aim(s, srv.port());
    s.Connect();
    QTRY_COMPARE(connected.count(), 1);
    QTcpSocket* peer = srv.accept();
    QByteArray all(256 * 64, 0);
    for (int i = 0; i < all.size(); ++i) all[i] = char(i);
    peer->write(all);
    QTRY_COMPARE(got.size(), all.size());
    QCOMPARE(got, all);
    QVERIFY(!s.SendData(all));
    QByteArray echoed;
    QTRY_VERIFY((echoed += peer->readAll()).size() == all.size());
    QCOMPARE(echoed, all);
}

QTEST_GUILESS_MAIN(TestSocket)
#include "test_socket.moc"

void TestSocket::boundedRead() {
    Server srv;
    TcpSocket s;
    QSignalSpy connected(&s, &SocketComponent::connected);
    aim(s, srv.port());
    s.Connect();
    QTRY_COMPARE(connected.count(), 1);
    QTcpSocket* peer = srv.accept();
    // More than the reader keeps: all of it is consumed, only the front kept.
    QByteArray big(300000, 'b');
    big[0] = 'a';
    peer->write(big);
    peer->flush();
    qint64 consumed = 0;
    QByteArray front;
    qsizetype longest = 0;
    QVERIFY(QTest::qWaitFor([&] {
        const QByteArray kept = s.GetData(10);
        if (consumed == 0) front = kept;
        longest = std::max(longest, kept.size());
        consumed += s.lastRead();
        return consumed == big.size();
    }));
    QCOMPARE(front, big.first(10));
    QCOMPARE(longest, qsizetype(10));
    QCOMPARE(s.GetData().size(), 0);
    // What comes after is whole again.
    peer->write("next");
    peer->flush();
    QByteArray got;
    qint64 read = 0;
    QVERIFY(QTest::qWaitFor([&] {
        got += s.GetData();
        read += s.lastRead();
        return got == "next";
    }));
    QCOMPARE(read, qint64(4));
}
