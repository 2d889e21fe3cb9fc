// The socket component over real connections on 127.0.0.1: how each end of
// a connection is reported, bytes held while an arrival is turned away, and
// the bound on bytes waiting to be sent.
#include "wire/socket.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <sys/socket.h>

using namespace qxd;

namespace {

// A client TcpSocket connected to a server socket of the test's own.
struct Pair {
    QTcpServer server;
    TcpSocket client;
    QTcpSocket* peer = nullptr;
    bool open() {
        if (!server.listen(QHostAddress::LocalHost, 0)) return false;
        client.RemoteHost = QStringLiteral("127.0.0.1");
        client.RemotePort = server.serverPort();
        QSignalSpy connected(&client, &SocketComponent::connected);
        if (client.Connect()) return false;
        if (!server.waitForNewConnection(5000)) return false;
        peer = server.nextPendingConnection();
        return connected.wait(5000) || connected.count() == 1;
    }
};

} // namespace

class TestSocket : public QObject {
    Q_OBJECT
private slots:
    void connectFailures();
    void ends_data();
    void ends();
    void bytesWaitWhileTurnedAway();
    void sendsAreBounded();
};

// Bad settings fail inside Connect, with no event later.
void TestSocket::connectFailures() {
    for (const auto& [host, port] :
         {std::pair{QString(), 1400}, {QStringLiteral("127.0.0.1"), 70000}}) {
        TcpSocket s;
        QSignalSpy err(&s, &SocketComponent::error);
        s.RemoteHost = host;
        s.RemotePort = port;
        const SocketFailure f = s.Connect();
        QVERIFY(f.number != 0);
        QVERIFY(!f.description.isEmpty());
        QCOMPARE(s.State(), int(SocketComponent::Closed));
    }
}

// An orderly close by the peer raises closed() alone, a reset error()
// alone; a local close raises nothing, whatever the peer does after it.
void TestSocket::ends_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("orderly close by the peer") << "close";
    QTest::newRow("reset by the peer") << "reset";
    QTest::newRow("local close") << "local";
}

void TestSocket::ends() {
    QFETCH(QString, how);
    Pair p;
    QVERIFY(p.open());
    QSignalSpy closed(&p.client, &SocketComponent::closed);
    QSignalSpy error(&p.client, &SocketComponent::error);
    if (how == "close") {
        p.peer->disconnectFromHost();
        QTRY_COMPARE(closed.count(), 1);
        QCOMPARE(error.count(), 0);
        QCOMPARE(p.client.State(), int(SocketComponent::PeerClosing));
    } else if (how == "reset") {
        const linger lg{1, 0};
        ::setsockopt(int(p.peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        p.peer->close();
        QTRY_COMPARE(error.count(), 1);
        QVERIFY(error.at(0).at(0).toInt() != 0);
        QCOMPARE(closed.count(), 0);
    } else {
        p.client.Close();
        QCOMPARE(p.client.State(), int(SocketComponent::Closed));
        p.peer->write("late bytes");
        // Once the peer has seen the close, nothing can reach the client.
        QTRY_COMPARE(p.peer->state(), QAbstractSocket::UnconnectedState);
        QCoreApplication::processEvents();
        QCOMPARE(closed.count() + error.count(), 0);
    }
}

// A handler that does not read leaves the bytes waiting and gets no further
// arrival until it asks again; then the next read has everything.
void TestSocket::bytesWaitWhileTurnedAway() {
    Pair p;
    QVERIFY(p.open());
    QSignalSpy arrival(&p.client, &SocketComponent::dataArrival);
    p.peer->write("first ");
    QVERIFY(arrival.wait(5000));
    p.peer->write("second");
    QVERIFY(p.peer->waitForBytesWritten(5000));
    QCoreApplication::processEvents();
    QCOMPARE(arrival.count(), 1);
    p.client.Rearm();
    QTRY_COMPARE(arrival.count(), 2);
    QByteArray all = p.client.GetData();
    for (int i = 0; all.size() < 12 && i < 100; ++i) {
        QVERIFY(arrival.wait(5000));
        all += p.client.GetData();
    }
    QCOMPARE(all, QByteArray("first second"));
}

// A peer that reads nothing: the bytes waiting to be sent stop at the
// bound, and a send beyond it fails instead of growing without end.
void TestSocket::sendsAreBounded() {
    Pair p;
    QVERIFY(p.open());
    const QByteArray chunk(1 << 20, 'x');
    SocketFailure f;
    qint64 sent = 0;
    while (!(f = p.client.SendData(chunk)) && sent < (qint64(256) << 20)) sent += chunk.size();
    QVERIFY2(f.number != 0, "every send was taken");
    QVERIFY(p.client.pendingOutput() <= TcpSocket::MaxPendingOutput);
}

QTEST_GUILESS_MAIN(TestSocket)
#include "test_socket.moc"
