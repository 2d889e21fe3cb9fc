// The D-Bus path: a private bus daemon, the client program (qxdataclient)
// fed by the simulator from a thread of this process, and an out-of-process
// host (bench_dbus_host) that listens to PropertiesChanged and FeederReady.
// The baseline is a bare emitter in this process that sends the same two
// signals per quote with the same payloads and does nothing else: the bus's
// own ceiling. Quotes carry their sequence number in the volume; send and
// arrival times are CLOCK_MONOTONIC, one clock for every process.
//
//   bench_dbus [--quick]   start.ms_to_bus_name, dbus.bus_quotes_per_s,
//                          dbus.max_quotes_per_s, dbus.ratio_to_bus,
//                          dbus.latency_us_p99 (and the baseline's)
//   --rates=R1,R2,...      only the client's phases, at these rates (to
//                          compare builds in the same minutes)
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

double p99(const std::vector<std::pair<qint64, qint64>>& seen, const Ring& sent, qint64 from,
           qint64 to) {
    std::vector<double> lat;
    for (const auto& [seq, at] : seen)
        if (seq >= from && seq < to) lat.push_back((at - sent.get(seq)) / 1e3);
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

// Rates tried in turn until one is not held.
// Steps of 2500 up to 20,000, where these machines' bus tops out: with steps
// of 5000 there, the ratio could only read 0.67 or 0.75 for a client a step
// behind.
const double Ladder[] = {2500,  5000,  7500,  10000, 12500, 15000, 17500,
                         20000, 25000, 30000, 35000, 40000, 50000, 60000};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool quick = bench::quick(argc, argv);
    const int phaseMs = quick ? 2000 : 10000;
    std::vector<double> rates;
    int slotUs = PauseUs;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a.startsWith("--rates="))
            for (const QByteArray& r : a.mid(8).split(',')) rates.push_back(r.toDouble());
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

    // Baseline: the bare emitter.
    Ring emitted;
    double busRate = 0, busP99 = 0, halfRate = 0;
    if (rates.empty()) {
        QDBusConnection em = QDBusConnection::connectToBus(address, "emitter");
        em.registerService("bench.Emitter");
        HostProc host(env, {"--service", "bench.Emitter", "--path", "/E"}, dir.path() + "/e.bin");
        spin([&] { return host.ready; }, 10000);
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
                QDBusMessage sig = QDBusMessage::createSignal(
                    "/E", "org.freedesktop.DBus.Properties", "PropertiesChanged");
                sig << QString::fromLatin1(ClassInterface) << changed << QStringList();
                em.send(sig);
                em.send(QDBusMessage::createSignal("/E", "bench.Events", "FeederReady"));
            }
        };
        for (double rate : Ladder) {
            const qint64 c0 = host.count, s0 = seq;
            paced(rate, phaseMs, send);
            // Held: the emitter kept the rate and every quote arrived.
            const bool ok = double(seq - s0) >= 0.9 * rate * phaseMs / 1000 &&
                            spin([&] { return host.count - c0 >= seq - s0; }, 2000);
            std::fprintf(stderr, "bus baseline %.0f/s: sent %lld, received %lld, %s\n", rate,
                         (long long)(seq - s0), (long long)(host.count - c0),
                         ok ? "held" : "not held");
            if (!ok) break;
            busRate = rate;
        }
        // The step that was not held may have left a backlog: let it drain.
        spin([&] { return host.count >= seq; }, 60000);
        run(500);
        halfRate = busRate / 2;
        const qint64 from = seq + 1;
        paced(halfRate, phaseMs, send);
        const qint64 to = seq + 1;
        run(500);
        busP99 = p99(host.finish(), emitted, from, to);
        QDBusConnection::disconnectFromBus("emitter");
    }
    if (rates.empty()) {
        bench::figure("dbus.bus_quotes_per_s", busRate, "quotes/s (baseline: bare emitter)");
        bench::figure("dbus.bus_latency_us_p99", busP99, "us (baseline, at half its rate)");
    }

    // The client.
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
    double clientRate = 0, clientP99 = 0;
    {
        HostProc host(env, {"--client", "--folder", dir.path() + "/host", "PETR4", "VALE3"},
                      dir.path() + "/c.bin");
        if (!spin([&] { return host.subscribed && feed->sessions() == 1; }, 20000)) {
            std::fprintf(stderr, "bench_dbus: the client did not log on\n");
            return 1;
        }
        run(1000);
        auto phase = [&](double rate, int ms) {
            const qint64 c0 = host.count, s0 = feed->sent.load();
            feed->setRate(rate);
            run(ms);
            feed->setRate(0);
            run(50);
            const qint64 want = feed->sent.load() - s0;
            const bool ok = double(want) >= 0.9 * rate * ms / 1000 &&
                            spin([&] { return host.count - c0 >= want; }, 3000);
            std::fprintf(stderr, "client %.0f/s: sent %lld, received %lld, %s\n", rate,
                         (long long)want, (long long)(host.count - c0), ok ? "held" : "not held");
            return ok;
        };
        for (double rate : rates) phase(rate, phaseMs);
        if (rates.empty()) {
            // Latency first, at half the baseline's rate (sequence numbers still exact).
            const qint64 from = feed->sent.load() + 1;
            phase(halfRate, phaseMs);
            const qint64 to = feed->sent.load() + 1;
            for (double rate : Ladder) {
                if (!phase(rate, phaseMs)) break;
                clientRate = rate;
            }
            run(500);
            clientP99 = p99(host.finish(), sent, from, to);
        }
    }
    if (rates.empty()) {
        bench::figure("dbus.max_quotes_per_s", clientRate, "quotes/s");
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
