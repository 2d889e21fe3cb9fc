// qxd-sim: plays the feed server and the historic server on loopback.
// Prints "feed PORT" and "hist PORT" on standard output once listening, and
// logs what it does on standard error. Ctrl-C signs the clients off ("#N").
#include "sim/sim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_pipe[2] = {-1, -1};
void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_pipe[1], &c, 1);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QXD_VERSION));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Feed and historic server for qxdataclient.\n"
        "Exit status: 0 ended by a signal, 1 cannot listen, 2 wrong usage."));
    const QCommandLineOption help = p.addHelpOption();
    const QCommandLineOption version = p.addVersionOption();
    const QCommandLineOption host(QStringLiteral("host"), "Address to listen on.", "address",
                                  "127.0.0.1");
    const QCommandLineOption feedPort(QStringLiteral("feed-port"), "Feed port (0: any free one).",
                                      "port", "1400");
    const QCommandLineOption histPort(QStringLiteral("hist-port"),
                                      "Historic port (0: any free one).", "port", "11000");
    const QCommandLineOption user(QStringLiteral("user"),
                                  "Accepted user:password (repeatable; default demo:demo).",
                                  "user:pass");
    const QCommandLineOption unknown(QStringLiteral("unknown"),
                                     "A symbol that does not exist (repeatable).", "symbol");
    const QCommandLineOption rate(QStringLiteral("rate"), "Messages a second to each client.", "n",
                                  "50");
    const QCommandLineOption burst(QStringLiteral("burst"),
                                   "Extra messages sent at once every second.", "n", "0");
    const QCommandLineOption share(QStringLiteral("complete-share"),
                                   "Share of complete quotes in the stream.", "0..1", "0.3");
    const QCommandLineOption timeEvery(QStringLiteral("time-every"),
                                       "Seconds between time messages.", "s", "60");
    const QCommandLineOption noteEvery(QStringLiteral("note-every"),
                                       "Seconds between notes (0: none).", "s", "0");
    const QCommandLineOption modalNoteEvery(QStringLiteral("modal-note-every"),
                                            "Seconds between notes in a box (0: none).", "s", "0");
    const QCommandLineOption noData(QStringLiteral("no-data"),
                                    "A symbol whose downloads end without data (repeatable).",
                                    "symbol");
    const QCommandLineOption refuse(QStringLiteral("refuse-logons"), "Refuse every logon.");
    const QCommandLineOption replay(QStringLiteral("replay"),
                                    "Play back the server side of a captured feed session "
                                    "(pcap or pcapng) instead of generated quotes.",
                                    "capture");
    const QCommandLineOption replayPort(QStringLiteral("replay-port"),
                                        "The feed server's port in the capture.", "port", "1400");
    const QCommandLineOption speed(QStringLiteral("speed"),
                                   "Replay N times faster than captured, or as fast as "
                                   "the socket takes (max).",
                                   "n|max", "1");
    const QCommandLineOption all(QStringLiteral("all"),
                                 "Replay every symbol's quotes, not only the subscribed ones.");
    const QCommandLineOption fault(QStringLiteral("fault"),
                                   "drop, garbage or stall, every N seconds.", "kind:N");
    const QCommandLineOption chunk(QStringLiteral("chunk-size"), "Archive bytes per chunk.", "n",
                                   "16000");
    const QCommandLineOption seq(QStringLiteral("seq-in-volume"),
                                 "Trades carry their sequence number as volume.");
    const QCommandLineOption quiet(QStringLiteral("quiet"), "Log nothing.");
    p.addOptions({host, feedPort, histPort, user, unknown, rate, burst, share, timeEvery, noteEvery,
                  modalNoteEvery, noData, refuse, replay, replayPort, speed, all, fault, chunk, seq,
                  quiet});
    if (!p.parse(app.arguments()) || !p.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "qxd-sim: %s\n%s",
                     qPrintable(p.errorText().isEmpty() ? QStringLiteral("unexpected argument")
                                                        : p.errorText()),
                     qPrintable(p.helpText()));
        return 2;
    }
    if (p.isSet(help)) {
        std::fputs(qPrintable(p.helpText()), stdout);
        return 0;
    }
    if (p.isSet(version)) {
        std::printf("qxd-sim %s\n", QXD_VERSION);
        return 0;
    }

    qxd::sim::Options o;
    o.host = QHostAddress(p.value(host));
    o.feedPort = quint16(p.value(feedPort).toUInt());
    o.histPort = quint16(p.value(histPort).toUInt());
    if (p.isSet(user)) {
        o.users.clear();
        for (const QString& u : p.values(user)) {
            const qsizetype colon = u.indexOf(':');
            o.users.insert(u.left(colon).toLatin1(),
                           colon < 0 ? QByteArray() : u.mid(colon + 1).toLatin1());
        }
    }
    if (p.isSet(unknown)) {
        o.unknown.clear();
        for (const QString& s : p.values(unknown)) o.unknown << s.toLatin1();
    }
    o.rate = p.value(rate).toDouble();
    o.burst = p.value(burst).toInt();
    o.completeShare = p.value(share).toDouble();
    o.timeEvery = p.value(timeEvery).toInt();
    o.noteEvery = p.value(noteEvery).toInt();
    o.modalNoteEvery = p.value(modalNoteEvery).toInt();
    for (const QString& s : p.values(noData)) o.noData << s.toLatin1();
    o.refuseLogons = p.isSet(refuse);
    if (p.isSet(fault)) {
        const QStringList f = p.value(fault).split(':');
        o.fault = f.value(0).toLatin1();
        o.faultEvery = f.value(1, "10").toInt();
        if (o.fault != "drop" && o.fault != "garbage" && o.fault != "stall") {
            std::fprintf(stderr, "qxd-sim: unknown fault %s\n", qPrintable(f.value(0)));
            return 2;
        }
    }
    if (p.isSet(replay)) {
        QString err;
        if (!qxd::sim::LoadReplay(p.value(replay), quint16(p.value(replayPort).toUInt()), &o, &err)) {
            std::fprintf(stderr, "qxd-sim: %s\n", qPrintable(err));
            return 1;
        }
        bool ok = true;
        o.replaySpeed = p.value(speed) == QLatin1String("max") ? 0 : p.value(speed).toDouble(&ok);
        if (!ok || o.replaySpeed < 0) {
            std::fprintf(stderr, "qxd-sim: --speed takes a number or max\n");
            return 2;
        }
        o.replayAll = p.isSet(all);
        o.rate = 0;
        o.timeEvery = 0; // the capture's own times come with it
    }
    o.chunkSize = std::clamp(p.value(chunk).toInt(), 1, 32000);
    o.seqInVolume = p.isSet(seq);
    o.verbose = !p.isSet(quiet);

    qxd::sim::FeedSim feed(o);
    qxd::sim::HistSim hist(o);
    QString err;
    if (!feed.listen(&err) || !hist.listen(&err)) {
        std::fprintf(stderr, "qxd-sim: cannot listen: %s\n", qPrintable(err));
        return 1;
    }
    std::printf("feed %u\nhist %u\n", feed.port(), hist.port());
    std::fflush(stdout);

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) == 0) {
        auto* n = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, &app);
        QObject::connect(n, &QSocketNotifier::activated, &app, [&] {
            feed.signOff();
            QTimer::singleShot(200, &app, &QCoreApplication::quit);
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    return app.exec();
}
