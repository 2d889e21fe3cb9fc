// Helpers for the benchmarks: figures printed as "name: value unit".
#pragma once

#include "app/tuning.h"

#include "sim/sim.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace bench {

inline void figure(const char* name, double value, const char* unit) {
    std::printf("%s: %.6g %s\n", name, value, unit);
    std::fflush(stdout);
}

// Resident memory of a process, from /proc (kB fields VmRSS / VmHWM).
inline double memMb(const char* field, const QString& pid = QStringLiteral("self")) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').value(0).toDouble() / 1024;
    return 0;
}

// CPU time of the whole machine from /proc/stat: {all ticks, ticks stolen
// by the hypervisor}. On a virtual machine, stolen time stops every thread
// of the benchmark for milliseconds at once, whatever the client does.
struct CpuTicks {
    double total = 0, steal = 0;
};
inline CpuTicks cpuTicks() {
    QFile f(QStringLiteral("/proc/stat"));
    CpuTicks t;
    if (!f.open(QIODevice::ReadOnly)) return t;
    const QList<QByteArray> v = f.readLine().simplified().split(' ');
    for (qsizetype i = 1; i < v.size(); ++i) t.total += v[i].toDouble();
    t.steal = v.value(8).toDouble();
    return t;
}
// The share of the machine's CPU time stolen since `from`, in percent.
inline double stealPercent(const CpuTicks& from) {
    const CpuTicks now = cpuTicks();
    return now.total > from.total ? 100 * (now.steal - from.steal) / (now.total - from.total) : 0;
}

// CPU time so far, in ns, of this process and of every other thread of the
// machine (kernel threads included; from each thread's schedstat). Taken
// before and after a timed round, it tells a round whose work took more CPU
// from one that waited, and whether something else ran meanwhile (a thread
// that ends in between takes its time with it).
struct CpuSplit {
    qint64 self = 0, others = 0;
};
inline CpuSplit cpuSplit() {
    CpuSplit c;
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    c.self = qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
    const QString self = QString::number(::getpid());
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (pid == self || pid.isEmpty() || !pid[0].isDigit()) continue;
        const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
        for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile f(tasks + '/' + tid + QStringLiteral("/schedstat"));
            if (f.open(QIODevice::ReadOnly))
                c.others += f.readLine().split(' ').value(0).toLongLong();
        }
    }
    return c;
}

inline double percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    const std::size_t k = std::min(v.size() - 1, std::size_t(p * double(v.size())));
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(k), v.end());
    return v[k];
}

inline bool quick(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]) == "--quick") return true;
    return false;
}

// The environment of an in-process client: offscreen, the process-wide
// tuning as the program does it (QXD_TUNING), settings in
// `configDir` (never the user's own). Before any thread starts.
inline void clientEnvironment(const QString& configDir) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const qxd::TuningMode mode = qxd::TuningModeFromEnvironment();
    const QString warning = qxd::Tuning::beforeApplication(mode);
    std::fprintf(stderr, "tuning: %s%s%s\n", qxd::TuningModeName(mode),
                 warning.isEmpty() ? "" : ", ", qPrintable(warning));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configDir));
}

// Runs the event loop (sleeping when idle) for `ms`. A precise timer: from
// 2 s up Qt's default is a coarse one, which may end a 10 s phase a quarter
// of a second early or late.
inline void run(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until done() or the time is up; done()'s last answer.
inline bool spin(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || t.elapsed() > ms) loop.quit();
    });
    check.start(2);
    if (!done()) loop.exec();
    return done();
}

// Moves a simulator server to `thread`, starts the thread and listens
// there; the port it listens on.
template <class Sim>
quint16 startInThread(Sim* sim, QThread& thread) {
    sim->moveToThread(&thread);
    thread.start();
    quint16 port = 0;
    QMetaObject::invokeMethod(
        sim,
        [&] {
            QString e;
            if (sim->listen(&e))
                port = sim->port();
            else
                std::fprintf(stderr, "simulator: %s\n", qPrintable(e));
        },
        Qt::BlockingQueuedConnection);
    return port;
}

// Deletes the simulator in its thread and ends the thread.
template <class Sim>
void stopInThread(Sim* sim, QThread& thread) {
    QMetaObject::invokeMethod(
        sim, [&] { delete sim; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

// The simulator as the feed benchmarks run it: silent, no time messages,
// paced from its own thread, each quote's sequence number in its volume,
// and streaming only once a rate is set.
inline qxd::sim::Options pacedFeed() {
    qxd::sim::Options o;
    o.feedPort = o.histPort = 0;
    o.rate = 0;
    o.pace = true;
    o.seqInVolume = true;
    o.verbose = false;
    o.timeEvery = 0;
    return o;
}

// A listening TCP socket on 127.0.0.1 at a port the system picks, which
// goes into `a`.
inline int listenLoopback(sockaddr_in& a) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    ::listen(fd, 1);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return fd;
}

// A server message of the feed, unpacked: 7 in 10 trades, the rest complete
// quotes, with random prices and volumes.
inline QByteArray RandomQuote(QRandomGenerator& rng, const char* symbol) {
    char b[256];
    const double p = 10 + rng.bounded(90.0);
    int n;
    if (rng.bounded(10) < 7)
        n = std::snprintf(b, sizeof b, "$%s,%.2f,%d,%.2f,%d,%d", symbol, p,
                          100 * (1 + rng.bounded(50)), rng.bounded(2.0) - 1, rng.bounded(1000000),
                          rng.bounded(30000));
    else
        n = std::snprintf(b, sizeof b, "{%s,%.2f,%.2f,%.2f,%.2f,%d,%d,%d,%.2f,%d,%.2f,%d,%.2f,%.2f",
                          symbol, p, p + 1, p - 1, p, 100, rng.bounded(1000000), 1000, p + .01, 500,
                          p - .01, 400, 0.5, p - 0.3);
    return QByteArray(b, n);
}

} // namespace bench
