// The quote path end to end, in one process: the simulator streams from its
// own thread over loopback, the client runs the receive loop, dispatcher,
// records and relay on the main thread, and an in-process host callback
// counts each quote. Quotes carry their sequence number in the volume field,
// so the send time of each one is known on the same clock.
//
//   bench_feed [--quick]     feed.latency_us_*, feed.max_quotes_per_s, mem.peak_rss_mb_feed
//   bench_feed --hostile     mem.growth_mb_hostile
//   --slow-events            also: after each phase, the main thread's events
//                            that took over 200 us, by kind (what kept it from
//                            reading)
#include "app/qxdclient.h"
#include "automation/qxdclientcls.h"
#include "common.h"
#include "sim/sim.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
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
        ::send(fd, "~`12#N~", 7, MSG_NOSIGNAL);
        done = true;
        ::sleep(1);
        ::close(fd);
    }));
    server->start();

    QXDClient c;
    c.ensureLoaded();
    c.ctl.ServerIP = "127.0.0.1";
    c.ctl.ServerPort = QByteArray::number(ntohs(a.sin_port));
    c.feed.Command1_Click();
    spin([&] { return c.sock.State() == SocketComponent::Open; }, 5000);
    run(200);
    const double before = bench::memMb("VmRSS:");
    double peak = before;
    spin(
        [&] {
            peak = std::max(peak, bench::memMb("VmRSS:"));
            return done.load() && c.ctl.Label2 == "#N";
        },
        120000);
    bench::figure("mem.growth_mb_hostile", std::max(0.0, peak - before), "MB");
    std::fprintf(stderr, "hostile: %s, max chunk %lld, dropped chunks %lld\n",
                 c.ctl.Label2 == "#N" ? "the frame after the junk was handled" : "NOT handled",
                 (long long)c.feed.maxChunk, (long long)c.feed.droppedChunks);
    server->wait();
    ::close(lfd);
    return 0;
}

} // namespace

// With --slow-events: times every event the main thread delivers and keeps
// those over 200 us (outermost and nested alike: a repaint inside the
// receive loop's yield is both).
class TimedApp : public QApplication {
public:
    using QApplication::QApplication;
    bool timing = false;
    std::map<QByteArray, std::vector<double>> slow; // kind -> durations (us)

    bool notify(QObject* o, QEvent* e) override {
        if (!timing || QThread::currentThread() != thread()) return QApplication::notify(o, e);
        const qint64 t0 = g_clock.nsecsElapsed();
        const bool r = QApplication::notify(o, e);
        const double us = (g_clock.nsecsElapsed() - t0) / 1e3;
        if (us > 200) {
            const QObject* named = o->objectName().isEmpty() && o->parent() ? o->parent() : o;
            slow[QByteArray::number(int(e->type())) + " " + named->metaObject()->className() + " " +
                 named->objectName().toLatin1()]
                .push_back(us);
        }
        return r;
    }
    void report() {
        for (auto& [kind, d] : slow)
            std::fprintf(
                stderr, "  slow events (type, receiver): %s: %zu, median %.0f us, max %.0f us\n",
                kind.constData(), d.size(), bench::percentile(d, 0.5), bench::percentile(d, 1.0));
        slow.clear();
    }
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

    QXDClientCLS host;
    host.Iniciar(QFile::encodeName(dir.path()));
    QXDClient& w = *QXDClient::instance();
    w.ctl.ServerIP = "127.0.0.1";
    w.ctl.ServerPort = QByteArray::number(port);
    w.ctl.UserName = w.ctl.Password = "demo";

    std::int64_t received = 0, arrivals = 0;
    QObject::connect(&w.sock, &SocketComponent::dataArrival, [&] { ++arrivals; });
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
    w.feed.Command1_Click();
    if (!spin([&] { return w.feed.LoggedOn == 1; }, 10000)) {
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
        app.slow.clear();
        const bench::CpuTicks ticks0 = bench::cpuTicks();
        const std::int64_t sent0 = feed->sent.load(), recv0 = received, arr0 = arrivals;
        w.feed.maxChunk = 0;
        w.feed.overloadedChunks = w.feed.droppedChunks = 0;
        measure = lats;
        feed->setRate(rate);
        run(ms);
        feed->setRate(0);
        const std::int64_t want = [&] {
            run(50);
            return feed->sent.load() - sent0;
        }();
        spin([&] { return received - recv0 >= want; }, 3000);
        measure = false;
        const std::int64_t got = received - recv0;
        const bool ok = want > 0 && got == want && w.feed.maxChunk <= 2000;
        std::fprintf(
            stderr,
            "rate %.0f: sent %lld (%.0f/s), handed to the host %lld, max chunk %lld, %lld reads, "
            "%.1f%% of the CPU stolen, %s\n",
            rate, (long long)want, want * 1000.0 / ms, (long long)got, (long long)w.feed.maxChunk,
            (long long)(arrivals - arr0), bench::stealPercent(ticks0), ok ? "held" : "not held");
        app.report();
        return ok ? want * 1000.0 / ms : 0.0;
    };

    const int seconds = quick ? 3 : 10;
    phase(10000, seconds * 1000, true);
    bench::figure("feed.latency_us_p50", bench::percentile(lat, 0.50), "us");
    bench::figure("feed.latency_us_p99", bench::percentile(lat, 0.99), "us");
    bench::figure("feed.latency_us_p999", bench::percentile(lat, 0.999), "us");

    double held = 0;
    for (double rate :
         {25000.0, 50000.0, 75000.0, 100000.0, 150000.0, 200000.0, 250000.0, 300000.0, 400000.0}) {
        const double sent = phase(rate, seconds * 1000, false);
        if (sent == 0) break;
        held = sent;
    }
    bench::figure("feed.max_quotes_per_s", held, "quotes/s");
    bench::figure("mem.peak_rss_mb_feed", bench::memMb("VmHWM:"),
                  "MB (client and simulator in one process)");

    bench::stopInThread(feed, simThread);
    return 0;
}
