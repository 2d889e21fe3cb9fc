#include "app/time_slice.h"

#include <QFile>
#include <QTest>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

using namespace qxd;

namespace {

// The calling thread's slice in nanoseconds as the scheduler's own report
// shows it, or -1 where the kernel does not report it.
long long reportedSliceNs() {
    QFile f(QStringLiteral("/proc/thread-self/sched"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (QByteArray line; !(line = f.readLine()).isEmpty();)
        if (line.startsWith("se.slice"))
            return line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    return -1;
}

int threadNice() {
    return ::getpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)));
}

// Runs f on a thread of its own, so that what it changes dies with it.
template <typename F>
void onThread(F f) {
    std::thread(f).join();
}

} // namespace

class TestTimeSlice : public QObject {
    Q_OBJECT
private slots:
    void init();
    void request_data();
    void request();
    void laterThreadsInherit();

private:
    int defaultUs_ = 0;
};

void TestTimeSlice::init() {
    onThread([this] { defaultUs_ = CurrentTimeSlice(); });
    if (defaultUs_ == 0) QSKIP("this kernel has no custom time slices");
}

void TestTimeSlice::request_data() {
    QTest::addColumn<int>("us");
    QTest::addColumn<int>("expected"); // -1: the kernel's default
    QTest::newRow("shortest") << ShortSliceUs << 100;
    QTest::newRow("in range") << 250 << 250;
    QTest::newRow("zero: the kernel's own") << 0 << -1;
}

// The slice is set, read back, and seen by the scheduler; the thread's nice
// value survives (a lowered one must not be reset to 0, a raised one could
// not be).
void TestTimeSlice::request() {
    QFETCH(int, us);
    QFETCH(int, expected);
    if (expected < 0) expected = defaultUs_;
    onThread([&] {
        QCOMPARE(::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 3), 0);
        // From a different slice first, so that returning to the default is seen.
        QVERIFY(RequestTimeSlice(us > 0 ? 3000 : 500).error.isEmpty());
        const SliceResult r = RequestTimeSlice(us);
        QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
        QCOMPARE(r.sliceUs, expected);
        QCOMPARE(CurrentTimeSlice(), expected);
        const long long ns = reportedSliceNs();
        if (ns >= 0) QCOMPARE(ns, expected * 1000LL);
        QCOMPARE(threadNice(), 3);
    });
}

// The program asks before Qt starts its threads and relies on this.
void TestTimeSlice::laterThreadsInherit() {
    onThread([] {
        QCOMPARE(RequestTimeSlice(ShortSliceUs).sliceUs, ShortSliceUs);
        int child = 0;
        onThread([&] { child = CurrentTimeSlice(); });
        QCOMPARE(child, ShortSliceUs);
    });
}

QTEST_GUILESS_MAIN(TestTimeSlice)
#include "test_time_slice.moc"
