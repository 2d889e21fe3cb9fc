// When the client's thread polls instead of sleeping: the rules over the
// feed's rate and the machine's idle time, as tables.
#include "app/busy_poll.h"

#include <QElapsedTimer>
#include <QTest>

#include <functional>
#include <utility>

using namespace qxd;

class TestBusyPoll : public QObject {
    Q_OBJECT
private slots:
    void rate_data();
    void rate();
    void room_data();
    void room();
    void crowded_data();
    void crowded();
};

void TestBusyPoll::rate_data() {
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

void TestBusyPoll::rate() {
    QFETCH(bool, polling);
    QFETCH(qint64, bytes);
    QFETCH(qint64, ms);
    QTEST(BusyPoll::Next(polling, bytes, ms), "next");
}

void TestBusyPoll::room_data() {
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

void TestBusyPoll::room() {
    QFETCH(qint64, idleMs);
    QFETCH(qint64, ownCpuMs);
    QFETCH(qint64, ms);
    QTEST(BusyPoll::Room(idleMs, ownCpuMs, ms), "room");
}

void TestBusyPoll::crowded_data() {
    QTest::addColumn<qint64>("idleMs");
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<bool>("crowded");
    // Crowded below a fifth of one CPU idle, over both CPUs together.
    QTest::newRow("no idle time") << qint64(0) << qint64(100) << true;
    QTest::newRow("just under a fifth") << qint64(19) << qint64(100) << true;
    QTest::newRow("a fifth") << qint64(20) << qint64(100) << false;
    QTest::newRow("a CPU to spare") << qint64(100) << qint64(100) << false;
}

void TestBusyPoll::crowded() {
    QFETCH(qint64, idleMs);
    QFETCH(qint64, ms);
    QTEST(BusyPoll::Crowded(idleMs, ms), "crowded");
}

QTEST_MAIN(TestBusyPoll)
#include "test_busy_poll.moc"
