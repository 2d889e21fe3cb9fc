// The quote path end to end, in one process: the simulator streams from its
// own thread over loopback, the client runs the receive loop, dispatcher,
// records and relay on the main thread, and an in-process host callback
// counts each quote. Quotes carry their sequence number in the volume field,
// so the send time of each one is known on the same clock.
//
//   bench_feed [--quick]     feed.latency_us_*, feed.max_quotes_per_s,
//                            feed.bare_max_quotes_per_s (baseline), feed.ratio_to_bare,
//                            mem.peak_rss_mb_feed
//   bench_feed --hostile     mem.growth_mb_hostile
//   --rates=R1,R2,...        only the client's phases, at these rates
//   --bare-rates=R1,R2,...   only the baseline's phases, at these rates
//   --bare-poll              the baseline spins on recv() instead of blocking
//                            (default 100; 0: the kernel's own)
//   --pin=C                  the client's thread and the bare reader on CPU C
//                            only, the simulators on the other CPUs (to tell
//                            the client's own stalls from those of a kernel
//                            thread that keeps to one CPU)
//   --slow-events            also: after each phase, the main thread's events
//                            that took over 200 us, by kind (what kept it from
//                            reading), and what a read of the feed took; for
//                            each chunk over 2000 characters (ten a phase),
//                            the events over 100 us just before it, and the
//                            read before it and the gap before its own read
//                            on the wall clock and the thread's CPU clock,
//                            with the time it waited in the run queue
#include "app/client_core.h"
#include "automation/qxdclientcls.h"
#include "common.h"
#include "sim/sim.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace qxd;

namespace {

using bench::run;
using bench::spin;

QElapsedTimer g_clock;
constexpr std::size_t RingSize = 1 << 20;
std::unique_ptr<std::atomic<qint64>[]> g_sent(new std::atomic<qint64>[ RingSize ]);

int hostile() {
    // A server that sends an opening mark and then 100 MB without a
    // closing mark, from its own thread, in small writes.
    sockaddr_in a;
    const int lfd = bench::listenLoopback(a);
    std::atomic<bool> done{false};
    std::unique_ptr<QThread> server(QThread::create([&] {
        const int fd = ::accept(lfd, nullptr, nullptr);
        const QByteArray junk(1000, 'x');
        ::send(fd, "`5", 2, MSG_NOSIGNAL);
        for (int i = 0; i < 100 * 1024; ++i)
            if (::send(fd, junk.constData(), junk.size(), MSG_NOSIGNAL) < 0) break;
        // A pause, so the frame after the junk comes in a read of its own;
        // sent at once, it can share a chunk above 5000 with the junk's tail
        // and be dropped with it, as such chunks are.
        ::usleep(300'000);
        ::send(fd, "~`12#N~", 7, MSG_NOSIGNAL);
        done = true;
        ::sleep(1);
        ::close(fd);
    }));
    server->start();

    ClientCore c;
    c.ensureLoaded();
    c.controls.serverHost = "127.0.0.1";
    c.controls.serverPort = QByteArray::number(ntohs(a.sin_port));
    c.feed.logonButton();
    spin([&] { return c.feedSocket.State() == SocketComponent::Open; }, 5000);
    run(200);
    const double before = bench::memMb("VmRSS:");
    double peak = before;
    spin(
        [&] {
            peak = std::max(peak, bench::memMb("VmRSS:"));
            return done.load() && c.controls.messageLine == "#N";
        },
        120000);
    bench::figure("mem.growth_mb_hostile", std::max(0.0, peak - before), "MB");
    std::fprintf(stderr, "hostile: %s, max chunk %lld, dropped chunks %lld\n",
                 c.controls.messageLine == "#N" ? "the frame after the junk was handled"
                                                : "NOT handled",
                 (long long)c.feed.counters().maxChunk, (long long)c.feed.counters().droppedChunks);
    server->wait();
    ::close(lfd);
    return 0;
}

// The baseline of the feed rate: a thread that does nothing but read, from
// a simulator of its own, under the same rules (every message arrives, no
// read above 2000 characters). It blocks in recv() and counts frames, so
// what stops it holding a rate is the machine: a thread that is not run for
// longer than 2000 characters of stream. With --bare-poll it spins instead,
// as the client does while the feed is fast.
class BareReader {
public:
    std::atomic<std::int64_t> frames{0}, maxChunk{0}, reads{0};

    // poll: spin on a non-blocking recv() instead of sleeping in it.
    bool start(quint16 port, bool poll) {
        poll_ = poll;
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
        QByteArray logon;
        for (const char* m :
             {"!demo", "^demo", "&1", "#APETR4", "#AVALE3", "#AITUB4", "#ABBDC4", "#AABEV3"})
            logon += ConverteToSend(m);
        if (::send(fd_, logon.constData(), std::size_t(logon.size()), MSG_NOSIGNAL) != logon.size())
            return false;
        thread_ = std::thread([this] { loop(); });
        return true;
    }
    ~BareReader() {
        if (fd_ < 0) return;
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }

private:
    void loop() {
        FrameExtractor ex;
        std::vector<char> buf(1 << 16);
        for (;;) {
            const ssize_t n = ::recv(fd_, buf.data(), buf.size(), poll_ ? MSG_DONTWAIT : 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return;
            reads.fetch_add(1, std::memory_order_relaxed);
            if (n > maxChunk.load(std::memory_order_relaxed))
                maxChunk.store(n, std::memory_order_relaxed);
            qsizetype left = 0;
            std::int64_t got = 0;
            for (QByteArrayView in(buf.data(), n);; in = {}) {
                if (!ex.extract(in, left).isEmpty()) ++got;
                if (left == 0) break;
            }
            frames.fetch_add(got, std::memory_order_relaxed);
        }
    }
    int fd_ = -1;
    bool poll_ = false;
    std::thread thread_;

public:
    std::thread& thread() { return thread_; }
};

// Keeps thread `t` on CPU `cpu` only, or (others) off it.
void pinThread(pthread_t t, int cpu, bool others) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const int n = int(std::thread::hardware_concurrency());
    for (int i = 0; i < n; ++i)
        if ((i == cpu) != others) CPU_SET(i, &set);
    if (const int e = pthread_setaffinity_np(t, sizeof set, &set))
        std::fprintf(stderr, "bench_feed: cannot pin a thread: %s\n", std::strerror(e));
}

} // namespace

// With --slow-events: times every event the main thread delivers and keeps
// those over 200 us (outermost and nested alike: a repaint inside the
// receive loop's yield is both). Each outermost read of the feed is timed
// too, with the quotes it handed over, and the events over 100 us of the
// last few milliseconds are kept, so that a chunk over 2000 characters can
// be told apart: one that follows a long event of the client's own, or one
// that follows none (the thread was not run). The read before such a chunk
// and the gap before its own read are timed on the wall clock and on the
// thread's CPU clock as well: the kernel leaves out of the latter the time
// the thread was not run, whether another thread had the CPU or the
// hypervisor had taken the virtual CPU away (steal). The two are told apart
// by the thread's run-queue wait (/proc/thread-self/schedstat): the time it
// was ready to run while the guest's scheduler ran another thread. Time off
// the CPU beyond that wait, while the thread polls (never sleeps), is the
// hypervisor's.
class TimedApp : public QApplication {
public:
    using QApplication::QApplication;
    bool timing = false;
    std::map<QByteArray, std::vector<double>> slow; // kind -> durations (us)
    // Outermost socket events (the feed's reads): count, quotes, wall time.
    std::int64_t reads = 0, readQuotes = 0;
    double readUs = 0;
    const std::int64_t* quotes = nullptr; // the host's count so far
    qint64 outerStart = 0;                // when the outermost event under way began
    // Wall time, thread CPU time and run-queue wait (us) of the read before
    // the one under way, and of the gap between the two.
    struct Span {
        qint64 us = 0, cpuUs = 0, waitUs = 0;
        qint64 offCpuUs() const { return us - cpuUs; }
        // Off the CPU and not waiting for it in the guest: asleep, or not
        // run by the hypervisor.
        qint64 heldUs() const { return std::max<qint64>(0, offCpuUs() - waitUs); }
    } lastRead, gap;

    bool notify(QObject* o, QEvent* e) override {
        if (!timing || QThread::currentThread() != thread()) return QApplication::notify(o, e);
        const int type = int(e->type());     // the event may be gone after delivery,
        const QPointer<QObject> receiver(o); // and the receiver with it
        const std::int64_t q0 = quotes ? *quotes : 0;
        const qint64 t0 = g_clock.nsecsElapsed();
        const bool read = depth_ == 0 && type == QEvent::SockAct;
        const qint64 cpu0 = read ? threadCpuNs() : 0, wait0 = read ? threadWaitNs() : 0;
        if (read)
            gap = {(t0 - readEnd_) / 1000, (cpu0 - readEndCpu_) / 1000,
                   (wait0 - readEndWait_) / 1000};
        if (depth_ == 0) outerStart = t0;
        ++depth_;
        const bool r = QApplication::notify(o, e);
        --depth_;
        const qint64 t1 = g_clock.nsecsElapsed();
        const double us = (t1 - t0) / 1e3;
        if (read) {
            readEndCpu_ = threadCpuNs();
            readEndWait_ = threadWaitNs();
            readEnd_ = t1;
            lastRead = {(t1 - t0) / 1000, (readEndCpu_ - cpu0) / 1000,
                        (readEndWait_ - wait0) / 1000};
            ++reads;
            readQuotes += (quotes ? *quotes : 0) - q0;
            readUs += us;
        }
        if (us <= 100) return r;
        QByteArray kind = QByteArray::number(type);
        if (!receiver) {
            kind += " (receiver deleted)";
        } else {
            const QObject* named = o->objectName().isEmpty() && o->parent() ? o->parent() : o;
            kind += ' ' + QByteArray(named->metaObject()->className()) + ' ' +
                    named->objectName().toLatin1();
        }
        if (recent_.size() == 64) recent_.pop_front();
        recent_.push_back({t1, us, kind});
        if (us > 200) slow[kind].push_back(us);
        return r;
    }
    // The events over 100 us that ended in the 2 ms before `now`.
    QByteArray before(qint64 now) const {
        QByteArray s;
        for (const Recent& e : recent_)
            if (e.end <= now && now - e.end < 2'000'000)
                s += QByteArray(" [") + e.kind + ": " + QByteArray::number(e.us, 'f', 0) +
                     " us, ended " + QByteArray::number((now - e.end) / 1e3, 'f', 0) +
                     " us before]";
        return s.isEmpty() ? QByteArray(" none over 100 us in the 2 ms before") : s;
    }
    void report() {
        if (reads > 0)
            std::fprintf(stderr, "  reads: %lld, %.1f quotes and %.1f us each (%.2f us a quote)\n",
                         (long long)reads, double(readQuotes) / double(reads),
                         readUs / double(reads),
                         readQuotes > 0 ? readUs / double(readQuotes) : 0.0);
        for (auto& [kind, d] : slow)
            std::fprintf(
                stderr, "  slow events (type, receiver): %s: %zu, median %.0f us, max %.0f us\n",
                kind.constData(), d.size(), bench::percentile(d, 0.5), bench::percentile(d, 1.0));
        clear();
    }
    void clear() {
        slow.clear();
        recent_.clear();
        reads = readQuotes = 0;
        readUs = 0;
    }

private:
    static qint64 threadCpuNs() {
        timespec ts;
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
    // The main thread's time in the run queue so far (ns), 0 if unknown.
    // Opened by the main thread, so the file stays that thread's.
    static qint64 threadWaitNs() {
        static const int fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
        char buf[96];
        const ssize_t n = fd < 0 ? -1 : ::pread(fd, buf, sizeof buf - 1, 0);
        if (n <= 0) return 0;
        buf[n] = 0;
        long long run = 0, wait = 0;
        return std::sscanf(buf, "%lld %lld", &run, &wait) == 2 ? wait : 0;
    }
    qint64 readEnd_ = 0, readEndCpu_ = 0, readEndWait_ = 0;
    struct Recent {
        qint64 end; // g_clock, ns
        double us;
        QByteArray kind;
    };
    std::deque<Recent> recent_;
    int depth_ = 0;
};

int main(int argc, char** argv) {
    QTemporaryDir dir;
    bench::clientEnvironment(dir.path());
    TimedApp app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--hostile") return hostile();
        if (QByteArray(argv[i]) == "--slow-events") app.timing = true;
    }
    const bool quick = bench::quick(argc, argv);
    g_clock.start();

    sim::Options o = bench::pacedFeed();
    QThread simThread;
    auto* feed = new sim::FeedSim(o);
    feed->onSend = [](qint64 seq) {
        g_sent[std::size_t(seq) & (RingSize - 1)].store(g_clock.nsecsElapsed(),
                                                        std::memory_order_relaxed);
    };
    const quint16 port = bench::startInThread(feed, simThread);
    int pin = -1;
    for (int i = 1; i < argc; ++i)
        if (QByteArray a(argv[i]); a.startsWith("--pin=")) pin = a.mid(6).toInt();
    if (pin >= 0) {
        pinThread(pthread_self(), pin, false);
        QMetaObject::invokeMethod(
            feed, [&] { pinThread(pthread_self(), pin, true); }, Qt::BlockingQueuedConnection);
    }

    QXDClientCLS host;
    host.Iniciar(QFile::encodeName(dir.path()));
    ClientCore& w = *ClientCore::instance();
    w.controls.serverHost = "127.0.0.1";
    w.controls.serverPort = QByteArray::number(port);
    w.controls.userName = w.controls.password = "demo";

    std::int64_t received = 0, arrivals = 0;
    // When in the phase the largest chunk so far was read: a miss in the
    // first milliseconds is the feed starting before the thread polls.
    QElapsedTimer phaseClock;
    qint64 seenMax = 0, maxAtMs = 0;
    std::int64_t overSeen = 0;   // chunks over 2000 explained so far in the phase
    std::int64_t overOffCpu = 0; // of those, after time off the CPU
    std::int64_t overQueued = 0; // of those, mostly waiting in the guest's run queue
    app.quotes = &received;
    QObject::connect(&w.feedSocket, &SocketComponent::dataArrival, [&] {
        ++arrivals;
        if (app.timing && w.feed.counters().skippedChunks > overSeen) {
            // Over 50 us off the CPU: the machine took it. Otherwise the
            // thread ran, busy with something else or polling while the
            // bytes were held up before the socket.
            // Of the time off the CPU, the part spent in the guest's run
            // queue (another thread had the CPU) and the rest.
            const bool offCpu = app.lastRead.offCpuUs() > 50 || app.gap.offCpuUs() > 50;
            const qint64 queued = app.lastRead.waitUs + app.gap.waitUs,
                         held = app.lastRead.heldUs() + app.gap.heldUs();
            overOffCpu += offCpu;
            overQueued += offCpu && queued >= held;
            if (++overSeen <= 10)
                std::fprintf(stderr,
                             "  a chunk of %lld at %lld ms (%s, CPU %d): the read before %lld us "
                             "(%lld on the CPU), the gap %lld us (%lld on the CPU)%s, %lld us in "
                             "the run queue:%s\n",
                             (long long)w.feedSocket.lastRead(), (long long)phaseClock.elapsed(),
                             w.tuning().busyPoll().polling() ? "polling" : "not polling",
                             sched_getcpu(), (long long)app.lastRead.us,
                             (long long)app.lastRead.cpuUs, (long long)app.gap.us,
                             (long long)app.gap.cpuUs, offCpu ? ", off the CPU" : "",
                             (long long)queued, app.before(app.outerStart).constData());
            overSeen = w.feed.counters().skippedChunks;
        }
        if (w.feed.counters().maxChunk > seenMax) {
            seenMax = w.feed.counters().maxChunk;
            maxAtMs = phaseClock.elapsed();
        }
    });
    bool measure = false;
    std::vector<double> lat;
    lat.reserve(1 << 20);
    QObject::connect(&host, &QXDClientCLS::FeederReady, [&] {
        ++received;
        if (!measure) return;
        const auto seq = std::size_t(host.Vol);
        lat.push_back((g_clock.nsecsElapsed() -
                       g_sent[seq & (RingSize - 1)].load(std::memory_order_relaxed)) /
                      1e3);
    });
    w.feed.logonButton();
    if (!spin([&] { return w.feed.loggedOn(); }, 10000)) {
        std::fprintf(stderr, "bench_feed: no logon\n");
        return 1;
    }
    for (const char* s : {"PETR4", "VALE3", "ITUB4", "BBDC4", "ABEV3"}) host.AddSymbol(s);
    run(300);

    // One phase at a rate; the rate actually sent (the sender gives up what
    // a stall of its own thread kept it from sending) when every quote
    // arrived and no chunk went above 2000 characters, 0 otherwise.
    auto phase = [&](double rate, int ms, bool lats) -> double {
        run(200);
        app.clear();
        const bench::CpuTicks ticks0 = bench::cpuTicks();
        const std::int64_t sent0 = feed->sent.load(), recv0 = received, arr0 = arrivals;
        w.feed.resetCounters();
        seenMax = overSeen = overOffCpu = overQueued = 0;
        measure = lats;
        phaseClock.start();
        feed->setRate(rate);
        run(ms);
        const bool polling = w.tuning().busyPoll().polling();
        feed->setRate(0);
        // The rate sent is timed over the phase as it ran.
        const double seconds = double(phaseClock.nsecsElapsed()) / 1e9;
        const std::int64_t want = [&] {
            run(50);
            return feed->sent.load() - sent0;
        }();
        spin([&] { return received - recv0 >= want; }, 3000);
        measure = false;
        const std::int64_t got = received - recv0;
        const bool ok = want > 0 && got == want && w.feed.counters().maxChunk <= 2000;
        std::fprintf(
            stderr,
            "rate %.0f: sent %lld (%.0f/s), handed to the host %lld, max chunk %lld (at %lld ms), "
            "%lld chunks over 2000, %lld reads, %.1f%% of the CPU stolen,%s%s %s\n",
            rate, (long long)want, double(want) / seconds, (long long)got,
            (long long)w.feed.counters().maxChunk, (long long)maxAtMs,
            (long long)w.feed.counters().skippedChunks, (long long)(arrivals - arr0),
            bench::stealPercent(ticks0), polling ? " polling," : "",
            w.tuning().busyPoll().crowded() ? " crowded," : "", ok ? "held" : "not held");
        if (app.timing && overSeen > 0)
            std::fprintf(stderr,
                         "  chunks over 2000 after time off the CPU: %lld of %lld; of those, "
                         "%lld mostly in the guest's run queue (another thread had the CPU), "
                         "%lld mostly not (not run by the hypervisor, or asleep)\n",
                         (long long)overOffCpu, (long long)overSeen, (long long)overQueued,
                         (long long)(overOffCpu - overQueued));
        app.report();
        return ok ? double(want) / seconds : 0.0;
    };

    // The baseline's phase, the same way against its own simulator.
    QThread bareSimThread;
    auto* bareFeed = new sim::FeedSim(bench::pacedFeed());
    BareReader bare;
    bool barePoll = false;
    for (int i = 1; i < argc; ++i) barePoll = barePoll || QByteArray(argv[i]) == "--bare-poll";
    if (!bare.start(bench::startInThread(bareFeed, bareSimThread), barePoll)) {
        std::fprintf(stderr, "bench_feed: the bare reader could not connect\n");
        return 1;
    }
    if (pin >= 0) {
        pinThread(bare.thread().native_handle(), pin, false);
        QMetaObject::invokeMethod(
            bareFeed, [&] { pinThread(pthread_self(), pin, true); }, Qt::BlockingQueuedConnection);
    }
    spin([&] { return bare.frames.load() > 0 && bare.frames.load() == bareFeed->sent.load(); },
         5000);
    auto barePhase = [&](double rate, int ms) -> double {
        run(200);
        const bench::CpuTicks ticks0 = bench::cpuTicks();
        const std::int64_t sent0 = bareFeed->sent.load(), got0 = bare.frames.load(),
                           reads0 = bare.reads.load();
        bare.maxChunk = 0;
        QElapsedTimer span;
        span.start();
        bareFeed->setRate(rate);
        run(ms);
        bareFeed->setRate(0);
        const double seconds = double(span.nsecsElapsed()) / 1e9;
        run(50);
        const std::int64_t want = bareFeed->sent.load() - sent0;
        spin([&] { return bare.frames.load() - got0 >= want; }, 3000);
        const std::int64_t got = bare.frames.load() - got0;
        const bool ok = want > 0 && got == want && bare.maxChunk.load() <= 2000;
        std::fprintf(stderr,
                     "bare reader, rate %.0f: sent %lld (%.0f/s), read %lld, max chunk %lld, %lld "
                     "reads, %.1f%% of the CPU stolen, %s\n",
                     rate, (long long)want, double(want) / seconds, (long long)got,
                     (long long)bare.maxChunk.load(), (long long)(bare.reads.load() - reads0),
                     bench::stealPercent(ticks0), ok ? "held" : "not held");
        return ok ? double(want) / seconds : 0.0;
    };

    // Quick: 1 s phases, so that the whole of bench/run --quick takes about a minute.
    const int phaseMs = quick ? 1000 : 10000;
    // --rates=R1,R2,... (the client) or --bare-rates=... (the baseline): only
    // those phases, in the order given (both options may repeat), each
    // whatever the one before did (to compare builds, or the machine of the
    // minutes, at a rate they do not hold).
    bool phasesGiven = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        const bool client = arg.startsWith("--rates="), baseline = arg.startsWith("--bare-rates=");
        if (!client && !baseline) continue;
        phasesGiven = true;
        for (const QByteArray& r : arg.mid(arg.indexOf('=') + 1).split(','))
            client ? phase(r.toDouble(), phaseMs, false) : barePhase(r.toDouble(), phaseMs);
    }
    if (phasesGiven) {
        bench::stopInThread(feed, simThread);
        bench::stopInThread(bareFeed, bareSimThread);
        return 0;
    }
    phase(10000, phaseMs, true);
    bench::figure("feed.latency_us_p50", bench::percentile(lat, 0.50), "us");
    bench::figure("feed.latency_us_p99", bench::percentile(lat, 0.99), "us");
    bench::figure("feed.latency_us_p999", bench::percentile(lat, 0.999), "us");

    // The client and the baseline step up the same rates in turn, so both
    // meet the machine of the same minutes. A rate is held when one of two
    // phases at it holds: a stall of the machine's own (a millisecond or
    // two, now and then, which the bare reader meets as well) costs a phase
    // at any rate. Each stops at the first rate it misses twice. The rung
    // at 225,000 gives the steps above the target a finer grain.
    double held = 0, bareHeld = 0;
    bool clientOn = true, bareOn = true;
    QByteArray retried, bareRetried; // rates that took a second phase
    for (double rate : {25000.0, 50000.0, 75000.0, 100000.0, 150000.0, 200000.0, 225000.0, 250000.0,
                        300000.0, 400000.0}) {
        double bareSent = 0, sent = 0;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (bareOn && bareSent == 0) {
                bareSent = barePhase(rate, phaseMs);
                if (attempt > 0) bareRetried += QByteArray::number(rate, 'f', 0) + ' ';
            }
            if (clientOn && sent == 0) {
                sent = phase(rate, phaseMs, false);
                if (attempt > 0) retried += QByteArray::number(rate, 'f', 0) + ' ';
            }
        }
        bareOn = bareOn && bareSent > 0;
        clientOn = clientOn && sent > 0;
        bareHeld = std::max(bareHeld, bareSent);
        held = std::max(held, sent);
        if (!bareOn && !clientOn) break;
    }
    std::fprintf(stderr, "second phases: the client at %s; the bare reader at %s\n",
                 retried.isEmpty() ? "none" : retried.trimmed().constData(),
                 bareRetried.isEmpty() ? "none" : bareRetried.trimmed().constData());
    bench::figure("feed.max_quotes_per_s", held, "quotes/s");
    bench::figure("feed.bare_max_quotes_per_s", bareHeld,
                  "quotes/s (baseline: a thread that only reads)");
    bench::figure("feed.ratio_to_bare", bareHeld > 0 ? held / bareHeld : 0, "");
    bench::figure("mem.peak_rss_mb_feed", bench::memMb("VmHWM:"),
                  "MB (client and simulator in one process)");

    bench::stopInThread(feed, simThread);
    bench::stopInThread(bareFeed, bareSimThread);
    return 0;
}
