// When the client's thread polls instead of sleeping: the rate rules as
// tables, and the machine's idle time through clocks the test drives.
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
    void followsTheFeed();
    void recentRate();
    void yieldsACrowdedMachine();
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

void TestBusyPoll::followsTheFeed() {
    BusyPoll p;
    // The machine's idle time is left out: a busy machine (a parallel test
    // run) would keep polling from starting. That has a test of its own.
    p.setIdleClock([] { return qint64(-1); });
    auto flood = [&] {
        QElapsedTimer t;
        t.start();
        while (!p.polling() && t.elapsed() < 5000) {
            p.arrived(10000);
            QTest::qWait(1);
        }
        return p.polling();
    };
    QVERIFY(!p.polling());
    QVERIFY(flood());
    // A feed gone quiet lets the thread sleep again without another read.
    QTRY_VERIFY(!p.polling());
    QVERIFY(flood());
    p.stop();
    QVERIFY(!p.polling());
}

// The window paces its refresh by this: a burst after a quiet spell must
// show at once, not averaged with the quiet.
void TestBusyPoll::recentRate() {
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

void TestBusyPoll::yieldsACrowdedMachine() {
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

QTEST_MAIN(TestBusyPoll)
#include "test_busy_poll.moc"
