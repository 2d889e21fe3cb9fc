#include "wire/socket.h"

#include <QSignalSpy>
#include <QTest>

using namespace qxd;

class TestSocket : public QObject {
    Q_OBJECT
private slots:
    void connectFailures();
};

// Bad settings fail inside Connect, with no event later. (The component's
// events over real connections, bytes of every value, an orderly close and
// a reset, are driven by the feed and historic tests through their servers;
// a refusal by the hostile-feed test.)
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

QTEST_GUILESS_MAIN(TestSocket)
#include "test_socket.moc"
