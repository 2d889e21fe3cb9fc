// The D-Bus path: a private bus daemon, the client program (qxdataclient)
// fed by the simulator from a thread of this process, and an out-of-process
// host (bench_dbus_host) that listens to PropertiesChanged and FeederReady.
// The baseline is a bare emitter in this process that sends the same two
// signals per quote with the same payloads and does nothing else: the bus's
// own ceiling. The baseline steps up its rates, each is timed at half the
// baseline's highest, and then the client steps up the same rates. Quotes
// carry their sequence number in the volume; send and arrival times are
// CLOCK_MONOTONIC, one clock for every process.
//
//   bench_dbus [--quick]   start.ms_to_bus_name, dbus.bus_quotes_per_s,
//                          dbus.max_quotes_per_s, dbus.ratio_to_bus,
//                          dbus.latency_us_p99 (and the baseline's)
//   --rates=R1,R2,...      only the client's phases, at these rates (to
//                          compare builds in the same minutes); a rate
//                          written bR is a phase of the baseline's instead.
//                          Each phase's p99 latency is printed at the end.
//   --slot-us=N            the simulator's pause between writes (default
//                          200, the emitter's own pause between sends)
#include "automation/dbus_face.h"
#include "common.h"
#include "sim/sim.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <ctime>
#include <memory>

using namespace qxd;

namespace {

using bench::run;
using bench::spin;

qint64 nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr std::size_t RingSize = 1 << 22;
struct Ring {
    std::unique_ptr<std::atomic<qint64>[]> t { new std::atomic<qint64>[ RingSize ] };
    void put(qint64 seq, qint64 ns) { t[std::size_t(seq) & (RingSize - 1)].store(ns); }
    qint64 get(qint64 seq) const { return t[std::size_t(seq) & (RingSize - 1)].load(); }
};

QString binDir;
QString clientPath;

// A host process; `count` follows its reports.
struct HostProc {
    QProcess p;
    qint64 count = 0;
    QByteArray pending;
    QString out;
    bool ready = false;
    bool subscribed = false;
    HostProc(const QProcessEnvironment& env, const QStringList& args, const QString& file)
        : out(file) {
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&p, &QProcess::readyReadStandardOutput, [this] {
            pending += p.readAllStandardOutput();
            qsizetype nl;
            while ((nl = pending.indexOf('\n')) >= 0) {
                const QByteArray line = pending.left(nl);
                pending.remove(0, nl + 1);
                if (line.startsWith("count ")) count = line.mid(6).toLongLong();
                if (line == "ready") ready = true;
                if (line == "subscribed") subscribed = true;
            }
        });
        p.start(binDir + "/bench_dbus_host", args + QStringList{"--out", out});
    }
    // Ends the host; its (sequence, arrival) pairs.
    std::vector<std::pair<qint64, qint64>> finish() {
        p.closeWriteChannel();
        p.waitForFinished(30000);
        QFile f(out);
        std::vector<std::pair<qint64, qint64>> v;
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray b = f.readAll();
            const auto* q = reinterpret_cast<const qint64*>(b.constData());
            for (qsizetype i = 0; i + 1 < b.size() / qsizetype(sizeof(qint64)); i += 2)
                v.emplace_back(q[i], q[i + 1]);
        }
        return v;
    }
};

// The send times of quotes [from, to), copied out of a ring right after
// their phase: a run sends more quotes than the ring holds (the client's
// ladder alone some 4.5 million when it climbs to 42,500/s), and later
// phases reuse its slots.
struct Sent {
    qint64 from;
    std::vector<qint64> at;
    Sent(const Ring& ring, qint64 from, qint64 to)
        : from(from) {
        for (qint64 s = from; s < to; ++s) at.push_back(ring.get(s));
    }
};

double p99(const std::vector<std::pair<qint64, qint64>>& seen, const Sent& sent) {
    std::vector<double> lat;
    for (const auto& [seq, at] : seen)
        if (seq >= sent.from && seq - sent.from < qint64(sent.at.size()))
            lat.push_back((at - sent.at[std::size_t(seq - sent.from)]) / 1e3);
    return bench::percentile(lat, 0.99);
}

// The emitter's pause between sends; the simulator writes to the client at
// the same pace, so both paths carry the same bursts.
constexpr int PauseUs = 200;

// Sends at `rate` a second for `ms` through `send(n)`, which sends n more.
void paced(double rate, int ms, const std::function<void(int)>& send) {
    QElapsedTimer t;
    t.start();
    qint64 done = 0;
    while (t.elapsed() < ms) {
        const qint64 due = qint64(rate * double(t.nsecsElapsed()) / 1e9);
        if (due > done) {
            send(int(due - done));
            done = due;
        }
        QCoreApplication::processEvents();
        QThread::usleep(PauseUs);
    }
}

// Rates tried in turn until one is not held: steps of 2500 from 10,000 on,
// so that near the bus's ceiling (20,000-40,000 quotes/s on these machines)
// a client one step behind still reads 0.8 or more, not 0.75 as with steps
// of 5000.
const double Ladder[] = {2500,  5000,  10000, 12500, 15000, 17500, 20000,
                         22500, 25000, 27500, 30000, 32500, 35000, 37500,
                         40000, 42500, 45000, 47500, 50000, 55000, 60000};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool quick = bench::quick(argc, argv);
    const int phaseMs = quick ? 1000 : 10000; // quick: bench/run --quick in about a minute
    std::vector<QByteArray> rates;
    int slotUs = PauseUs;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a.startsWith("--rates="))
            for (const QByteArray& r : a.mid(8).split(',')) rates.push_back(r);
        if (a.startsWith("--slot-us=")) slotUs = a.mid(10).toInt();
    }
    binDir = QCoreApplication::applicationDirPath();
    clientPath = QDir(binDir + "/../src").absoluteFilePath("qxdataclient");
    QTemporaryDir dir;

    // A private session bus.
    QFile conf(dir.path() + "/bus.conf");
    if (conf.open(QIODevice::WriteOnly))
        conf.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                                  "Configuration 1.0//EN\" "
                                  "\"http://www.freedesktop.org/standards/dbus/1.0/"
                                  "busconfig.dtd\">\n<busconfig><type>session</type>"
                                  "<listen>unix:tmpdir=%1</listen><auth>EXTERNAL</auth>"
                                  "<policy context=\"default\"><allow send_destination=\"*\" "
                                  "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                  "<allow own=\"*\"/></policy></busconfig>\n")
                       .arg(dir.path())
                       .toUtf8());
    conf.close();
    QProcess daemon;
    daemon.start("dbus-daemon",
                 {"--nofork", "--print-address", "--config-file=" + dir.path() + "/bus.conf"});
    if (!daemon.waitForReadyRead(10000)) {
        std::fprintf(stderr, "bench_dbus: dbus-daemon did not start\n");
        return 1;
    }
    const QString address = QString::fromLatin1(daemon.readLine().trimmed());
    QDBusConnection bus = QDBusConnection::connectToBus(address, "driver");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", address);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", dir.path() + "/config");
    env.insert("XDG_DATA_HOME", dir.path() + "/data");
    env.insert("QXD_PASSWORD", "demo");
    env.insert("QXD_TIMER1_MS", "500");
    auto owned = [&] { return bus.interface()->isServiceRegistered(BusName).value(); };

    // Start: from the program's start to its name on the bus.
    if (rates.empty()) {
        std::vector<double> ms;
        for (int i = 0; i < (quick ? 3 : 9); ++i) {
            QProcess c;
            c.setProcessEnvironment(env);
            QElapsedTimer t;
            t.start();
            c.start(clientPath, {});
            spin(owned, 10000);
            ms.push_back(t.nsecsElapsed() / 1e6);
            c.terminate();
            c.waitForFinished(10000);
            spin([&] { return !owned(); }, 10000);
        }
        bench::figure("start.ms_to_bus_name", bench::percentile(ms, 0.5), "ms (median)");
    }

    // The client, fed by the simulator from a thread of this process.
    sim::Options o = bench::pacedFeed();
    o.completeShare = 0; // trades only: one message is one quote with its sequence number
    o.paceSlotUs = slotUs;
    Ring sent;
    QThread simThread;
    auto* feed = new sim::FeedSim(o);
    feed->onSend = [&](qint64 seq) { sent.put(seq, nowNs()); };
    const quint16 port = bench::startInThread(feed, simThread);
    QDir().mkpath(dir.path() + "/config");
    QDir().mkpath(dir.path() + "/host/indataqx");
    QFile ini(dir.path() + "/config/QXDATA.INI");
    if (ini.open(QIODevice::WriteOnly))
        ini.write("[QXDATA]\nIP=127.0.0.1\nPORT=" + QByteArray::number(port) +
                  "\nUserName=demo\nReconnect=1\n");
    ini.close();
    QProcess client;
    client.setProcessEnvironment(env);
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(clientPath, {});
    spin(owned, 10000);
    HostProc clientHost(env, {"--client", "--folder", dir.path() + "/host", "PETR4", "VALE3"},
                        dir.path() + "/c.bin");
    if (!spin([&] { return clientHost.subscribed && feed->sessions() == 1; }, 20000)) {
        std::fprintf(stderr, "bench_dbus: the client did not log on\n");
        return 1;
    }

    // The baseline: the bare emitter, on a connection of its own.
    Ring emitted;
    QDBusConnection em = QDBusConnection::connectToBus(address, "emitter");
    em.registerService("bench.Emitter");
    HostProc emitterHost(env, {"--service", "bench.Emitter", "--path", "/E"},
                         dir.path() + "/e.bin");
    spin([&] { return emitterHost.ready; }, 10000);
    run(1000);
    qint64 seq = 0;
    auto send = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ++seq;
            QVariantMap changed;
            changed.insert("Simbolo", QStringLiteral("PETR4"));
            for (const char* name : {"Last", "Bid", "Ask", "LastS", "Change", "BidS", "AskS",
                                     "OpenV", "High", "Low", "Previous", "OInt", "TimeV"})
                changed.insert(QString::fromLatin1(name), 23.17);
            changed.insert("Vol", double(seq));
            changed.insert("Flag", QVariant::fromValue<short>(0));
            changed.insert("nTicks", QVariant::fromValue<short>(12));
            emitted.put(seq, nowNs());
            QDBusMessage sig = QDBusMessage::createSignal("/E", "org.freedesktop.DBus.Properties",
                                                          "PropertiesChanged");
            sig << QString::fromLatin1(ClassInterface) << changed << QStringList();
            em.send(sig);
            em.send(QDBusMessage::createSignal("/E", "bench.Events", "FeederReady"));
        }
    };
    // A phase is held when the sender kept within a tenth of the rate and
    // every quote arrived, the last of them within CaughtUpMs of the
    // phase's end: a side that ends the phase further behind than that was
    // not carrying the rate but queueing it (the emitter's connection
    // queues without limit; the client stops queueing at 16 MB, about
    // 0.7 s of quotes at 30,000/s, and drops). It gives the rate actually
    // sent then (the emitter falls behind near its CPU's limit, the
    // simulator makes up a stall of its own), 0 when not held. The line
    // printed for each phase says how far behind it ended.
    constexpr int CaughtUpMs = 250;
    // How long after the phase's end (`end` started then) every quote had
    // arrived; -1 when they had not after limitMs.
    auto arrived = [&](const QElapsedTimer& end, const std::function<bool()>& all, int limitMs) {
        return spin(all, limitMs) ? end.elapsed() : qint64(-1);
    };
    auto report = [&](const char* who, double rate, qint64 sent, qint64 received, qint64 behind,
                      bool ok) {
        std::fprintf(stderr, "%s %.0f/s: sent %lld, received %lld, %s, %s\n", who, rate,
                     (long long)sent, (long long)received,
                     behind < 0
                         ? "not all in time"
                         : qPrintable(QStringLiteral("all %1 ms after the phase").arg(behind)),
                     ok ? "held" : "not held");
    };
    auto busPhase = [&](double rate, int ms) -> double {
        const qint64 c0 = emitterHost.count, s0 = seq;
        paced(rate, ms, send);
        QElapsedTimer end;
        end.start();
        const qint64 behind = arrived(
            end, [&] { return emitterHost.count - c0 >= seq - s0; }, 2000);
        const bool ok =
            double(seq - s0) >= 0.9 * rate * ms / 1000 && behind >= 0 && behind <= CaughtUpMs;
        report("bus baseline", rate, seq - s0, emitterHost.count - c0, behind, ok);
        return ok ? double(seq - s0) * 1000 / ms : 0.0;
    };
    auto clientPhase = [&](double rate, int ms) -> double {
        const qint64 c0 = clientHost.count, s0 = feed->sent.load();
        QElapsedTimer span; // the rate sent is timed over the phase as it ran
        span.start();
        feed->setRate(rate);
        run(ms);
        feed->setRate(0);
        const double seconds = double(span.nsecsElapsed()) / 1e9;
        QElapsedTimer end;
        end.start();
        run(50); // the simulator's thread may still be writing its last slot
        const qint64 want = feed->sent.load() - s0;
        const qint64 behind = arrived(
            end, [&] { return clientHost.count - c0 >= want; }, 3000);
        const bool ok = double(want) >= 0.9 * rate * seconds && behind >= 0 && behind <= CaughtUpMs;
        report("client", rate, want, clientHost.count - c0, behind, ok);
        return ok ? double(want) / seconds : 0.0;
    };
    // A step that was not held may have left a backlog in the bus: it drains
    // before the next phase, of either side. Quotes that were lost never
    // come, so the wait ends as well when the counts stand still.
    auto drain = [&] {
        qint64 last = -1;
        QElapsedTimer still;
        spin(
            [&] {
                const qint64 now = emitterHost.count + clientHost.count;
                if (now != last) still.start();
                last = now;
                return (emitterHost.count >= seq && clientHost.count >= feed->sent.load()) ||
                       still.elapsed() > 500;
            },
            60000);
        run(500);
    };

    // The bus daemon stops reading while quotes stream in at 40,000 a
    // second: the client keeps its backlog of writes bounded (16 MB) and
    // drops the quotes beyond it; once the bus reads again, quotes reach
    // the host again. Unbounded, the client grew by some 40 MB a second.
    auto stalledBus = [&](int ms) {
        drain();
        const QString pid = QString::number(client.processId());
        const double before = bench::memMb("VmRSS:", pid);
        double peak = before;
        ::kill(pid_t(daemon.processId()), SIGSTOP);
        feed->setRate(40000);
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            run(50);
            peak = std::max(peak, bench::memMb("VmRSS:", pid));
        }
        feed->setRate(0);
        ::kill(pid_t(daemon.processId()), SIGCONT);
        drain();
        const qint64 c0 = clientHost.count;
        feed->setRate(1000);
        const bool resumed = spin([&] { return clientHost.count > c0; }, 10000);
        feed->setRate(0);
        drain();
        bench::figure("mem.growth_mb_stalled_bus", std::max(0.0, peak - before),
                      qPrintable(QStringLiteral("MB (the bus stopped for %1 s)").arg(ms / 1000)));
        bench::figure("dbus.delivers_after_stall", resumed ? 1 : 0, "(1: yes)");
    };

    // The phases asked for, in order, each with its latency: whether a
    // side is slow after the other's (or its own) saturation, and for how
    // long.
    struct Asked {
        QByteArray name;
        bool baseline;
        Sent sent;
    };
    std::vector<Asked> asked;
    for (const QByteArray& r : rates) {
        const bool b = r.startsWith('b');
        const double rate = (b ? r.mid(1) : r).toDouble();
        const qint64 from = b ? seq + 1 : feed->sent.load() + 1;
        b ? busPhase(rate, phaseMs) : clientPhase(rate, phaseMs);
        asked.push_back(
            {r, b, b ? Sent(emitted, from, seq + 1) : Sent(sent, from, feed->sent.load() + 1)});
        drain();
    }
    if (!asked.empty()) {
        const auto busSeen = emitterHost.finish(), clientSeen = clientHost.finish();
        for (const Asked& a : asked)
            std::fprintf(stderr, "phase %s: p99 %.0f us\n", a.name.constData(),
                         p99(a.baseline ? busSeen : clientSeen, a.sent));
    }
    double busRate = 0, busP99 = 0, clientRate = 0, clientP99 = 0;
    if (rates.empty()) {
        // The baseline's ladder, then the latency of each at half the
        // baseline's rate, then the client's ladder. Measured after the
        // client's own ladder, the client's latency came out two to three
        // times higher: the bus is slow for a while to whichever side has
        // just filled it. As in the feed's ladder, a rate is held when one
        // of two phases at it holds: a stall of the machine's own (for the
        // client's main thread, a few milliseconds is a chunk above 5000
        // characters, dropped) costs a phase below the bus's ceiling too.
        // Each stops at the first rate it misses twice.
        auto ladder = [&](const std::function<double(double, int)>& phase, QByteArray& retried) {
            double best = 0;
            for (double rate : Ladder) {
                double held = 0;
                for (int attempt = 0; attempt < 2 && held == 0; ++attempt) {
                    if (attempt > 0) retried += QByteArray::number(rate, 'f', 0) + ' ';
                    if ((held = phase(rate, phaseMs)) == 0) drain();
                }
                if (held == 0) break;
                best = std::max(best, held);
            }
            return best;
        };
        QByteArray busRetried, clientRetried; // rates that took a second phase
        busRate = ladder(busPhase, busRetried);
        drain();
        run(1500);
        const double half = busRate / 2;
        const qint64 busFrom = seq + 1;
        busPhase(half, phaseMs);
        const Sent busHalf(emitted, busFrom, seq + 1);
        run(1500);
        const qint64 from = feed->sent.load() + 1;
        clientPhase(half, phaseMs);
        const Sent clientHalf(sent, from, feed->sent.load() + 1);
        run(500);
        clientRate = ladder(clientPhase, clientRetried);
        std::fprintf(stderr, "second phases: the client at %s; the baseline at %s\n",
                     clientRetried.isEmpty() ? "none" : clientRetried.trimmed().constData(),
                     busRetried.isEmpty() ? "none" : busRetried.trimmed().constData());
        stalledBus(quick ? 2000 : 5000);
        busP99 = p99(emitterHost.finish(), busHalf);
        clientP99 = p99(clientHost.finish(), clientHalf);
        bench::figure("dbus.bus_quotes_per_s", busRate,
                      "quotes/s (baseline: bare emitter; the rate actually sent)");
        bench::figure("dbus.bus_latency_us_p99", busP99, "us (baseline, at half its rate)");
        bench::figure("dbus.max_quotes_per_s", clientRate, "quotes/s (the rate actually sent)");
        bench::figure("dbus.ratio_to_bus", busRate > 0 ? clientRate / busRate : 0, "");
        bench::figure("dbus.latency_us_p99", clientP99, "us (at half the baseline's rate)");
    }

    client.terminate();
    client.waitForFinished(10000);
    bench::stopInThread(feed, simThread);
    daemon.terminate();
    daemon.waitForFinished(5000);
    return 0;
}
