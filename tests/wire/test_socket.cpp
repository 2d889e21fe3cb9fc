#include "wire/socket.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

#include <sys/socket.h>

using namespace qxd;

namespace {

// A server on 127.0.0.1 (OS-chosen port) and the component aimed at it.
struct Pair {
    QTcpServer server;
    TcpSocket s;
    QTcpSocket* peer = nullptr;
    Pair() {
        server.listen(QHostAddress::LocalHost, 0);
        s.RemoteHost = QStringLiteral("127.0.0.1");
        s.RemotePort = server.serverPort();
    }
    // Connects and accepts; true once both ends are up.
    bool open() {
        QSignalSpy connected(&s, &SocketComponent::connected);
        if (s.Connect()) return false;
        if (!connected.wait(5000) && connected.isEmpty()) return false;
        if (!server.hasPendingConnections() && !server.waitForNewConnection(5000)) return false;
        peer = server.nextPendingConnection();
        return peer != nullptr;
    }
    void send(const QByteArray& b) {
        peer->write(b);
        peer->flush();
    }
};

} // namespace

class TestSocket : public QObject {
    Q_OBJECT
private slots:
    void connectSendReceive();
    void connectFailures();
    void peerEnds_data();
    void peerEnds();
};

// Connected is reported later, never inside Connect; frames cut in segments
// or run together and every byte value come out as they went in.
void TestSocket::connectSendReceive() {
    Pair p;
    QSignalSpy connected(&p.s, &SocketComponent::connected);
    QVERIFY(!p.s.Connect());
    QVERIFY(p.s.State() != SocketComponent::Open);
    QVERIFY(p.s.State() != SocketComponent::Closed);
    QTRY_COMPARE(connected.count(), 1);
    QVERIFY(p.server.hasPendingConnections() || p.server.waitForNewConnection(5000));
    p.peer = p.server.nextPendingConnection();
    QVERIFY(p.s.Connect().number != 0); // refused at once while open

    QByteArray got;
    connect(&p.s, &SocketComponent::dataArrival, &p.s, [&] { got += p.s.GetData(); });
    for (const char* part : {"`1", "5abc", "de~"}) {
        p.send(part);
        QTest::qWait(5);
    }
    p.send("`11a~`11b~");
    QTRY_COMPARE(got, QByteArray("`15abcde~`11a~`11b~"));
    QByteArray all(256 * 64, 0);
    for (int i = 0; i < all.size(); ++i) all[i] = char(i);
    got.clear();
    p.send(all);
    QTRY_COMPARE(got.size(), all.size());
    QCOMPARE(got, all);
    QVERIFY(!p.s.SendData(all));
    QByteArray echoed;
    QTRY_VERIFY((echoed += p.peer->readAll()).size() == all.size());
    QCOMPARE(echoed, all);

    Pair byName; // a host name is resolved
    byName.s.RemoteHost = QStringLiteral("localhost");
    QVERIFY(byName.open());
}

// Bad settings fail inside Connect, with no event later. (A refusal comes
// as an error event: the hostile-feed test follows it to the retries.)
void TestSocket::connectFailures() {
    for (const auto& [host, port] :
         {std::pair{QString(), 1400}, {QStringLiteral("127.0.0.1"), 70000}}) {
        TcpSocket s;
        QSignalSpy err(&s, &SocketComponent::error);
        QSignalSpy connected(&s, &SocketComponent::connected);
        s.RemoteHost = host;
        s.RemotePort = port;
        const SocketFailure f = s.Connect();
        QVERIFY(f.number != 0);
        QVERIFY(!f.description.isEmpty());
        QTest::qWait(20);
        QCOMPARE(err.count() + connected.count(), 0);
        QCOMPARE(s.State(), int(SocketComponent::Closed));
    }
}

// An orderly close raises the close event only, after the data before it; a
// reset raises the error event only.
void TestSocket::peerEnds_data() {
    QTest::addColumn<bool>("reset");
    QTest::newRow("orderly close") << false;
    QTest::newRow("reset") << true;
}

void TestSocket::peerEnds() {
    QFETCH(bool, reset);
    Pair p;
    QList<QByteArray> events;
    connect(&p.s, &SocketComponent::dataArrival, &p.s,
            [&] { events.append("data:" + p.s.GetData()); });
    connect(&p.s, &SocketComponent::closed, &p.s, [&] { events.append("close"); });
    connect(&p.s, &SocketComponent::error, &p.s, [&] { events.append("error"); });
    QVERIFY(p.open());
    if (reset) {
        const linger lg{1, 0}; // linger 0 makes the close a reset
        ::setsockopt(int(p.peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        p.peer->abort();
        QTRY_VERIFY(!events.isEmpty());
    } else {
        p.peer->write("#N");
        p.peer->disconnectFromHost();
        QTRY_VERIFY(events.contains("close"));
    }
    QTest::qWait(20);
    QCOMPARE(events, (reset ? QList<QByteArray>{"error"} : QList<QByteArray>{"data:#N", "close"}));
    QVERIFY(p.s.State() != SocketComponent::Open);
    p.s.Close();
    QCOMPARE(p.s.State(), int(SocketComponent::Closed));
}

QTEST_GUILESS_MAIN(TestSocket)
#include "test_socket.moc"
