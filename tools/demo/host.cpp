// qxd-demo-host: a host on the session bus. It creates one object, starts
// it with a data folder, subscribes its symbols whenever the feed asks for
// them, queues one historic download and prints what arrives. It releases
// the object (which ends the client) after --seconds or on Ctrl-C, and
// prints a summary line: "quotes N, times N, downloads N".
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Bus = QStringLiteral("QXDataClient.QXDClientCLS");
const QString Cls = QStringLiteral("QXDataClient._QXDClientCLS");
const QString Events = QStringLiteral("QXDataClient.__QXDClientCLS");
int g_pipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_pipe[1], &c, 1);
}

class Host : public QObject {
    Q_OBJECT
public:
    QString path;
    QStringList symbols;
    QVariantMap props;
    int quotes = 0, times = 0, downloads = 0, logons = 0;
    int printEvery = 1;

    QDBusMessage call(const QString& iface, const QString& method, const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(Bus, path, iface, method);
        m.setArguments(args);
        return QDBusConnection::sessionBus().call(m, QDBus::Block, 30000);
    }

public slots:
    void changed(const QString& iface, const QVariantMap& c, const QStringList&) {
        if (iface == Cls) props.insert(c);
    }
    void feederReady() {
        if (quotes++ % printEvery) return;
        static const char* kinds[] = {"trade", "quote", "requested"};
        const int flag = props.value("Flag").toInt();
        std::printf("%-9s %-8s last %9.2f  bid %9.2f  ask %9.2f  vol %12.0f\n",
                    flag >= 0 && flag <= 2 ? kinds[flag] : "?",
                    qPrintable(props.value("Simbolo").toString()), props.value("Last").toDouble(),
                    props.value("Bid").toDouble(), props.value("Ask").toDouble(),
                    props.value("Vol").toDouble());
        std::fflush(stdout);
    }
    void requestAll() {
        ++logons;
        std::printf("feed logged on: subscribing %s\n", qPrintable(symbols.join(' ')));
        std::fflush(stdout);
        for (const QString& s : symbols) call(Cls, "AddSymbol", {s});
    }
    void newTime(double t) {
        ++times;
        std::printf("server time %.6f\n", t);
        std::fflush(stdout);
    }
    void endDownload(const QString& s, double ty) {
        ++downloads;
        std::printf("download finished: %s (interval %g)\n", qPrintable(s), ty);
        std::fflush(stdout);
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.addHelpOption();
    const QCommandLineOption folder(QStringLiteral("folder"), "Data folder.", "dir",
                                    QDir::homePath() + "/qxdata");
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     "Release after this long (0: on Ctrl-C).", "s", "0");
    const QCommandLineOption history(QStringLiteral("history"),
                                     "Symbol whose daily bars to download.", "symbol");
    const QCommandLineOption wait(QStringLiteral("wait"),
                                  "Seconds to wait for the client's bus name.", "s", "20");
    const QCommandLineOption every(QStringLiteral("print-every"), "Print every Nth quote.", "n",
                                   "1");
    const QCommandLineOption historyEvery(
        QStringLiteral("history-every"),
        "Download again every N seconds, one-minute and daily bars in turn (0: once).", "s", "0");
    p.addOptions({folder, seconds, history, wait, every, historyEvery});
    p.addPositionalArgument("symbols", "Symbols to subscribe.");
    p.process(app);

    Host host;
    host.symbols = p.positionalArguments();
    if (host.symbols.isEmpty()) host.symbols = {"PETR4", "VALE3", "ITUB4", "BBDC4", "ABEV3"};
    host.printEvery = std::max(1, p.value(every).toInt());
    const QString dir = p.value(folder);
    QDir().mkpath(dir + "/indataqx");

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "qxd-demo-host: no session bus\n");
        return 1;
    }
    // The client may still be starting (or is started by activation).
    for (int i = 0; i < p.value(wait).toInt() * 10 && !bus.interface()->isServiceRegistered(Bus);
         ++i)
        QThread::msleep(100);
    QDBusMessage r =
        bus.call(QDBusMessage::createMethodCall(Bus, "/QXDClientCLS", "QXDataClient.ClassFactory",
                                                "CreateInstance"),
                 QDBus::Block, 30000);
    if (r.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(stderr, "qxd-demo-host: %s\n", qPrintable(r.errorMessage()));
        return 1;
    }
    host.path = r.arguments().at(0).value<QDBusObjectPath>().path();
    bus.connect(Bus, host.path, "org.freedesktop.DBus.Properties", "PropertiesChanged", &host,
                SLOT(changed(QString, QVariantMap, QStringList)));
    bus.connect(Bus, host.path, Events, "FeederReady", &host, SLOT(feederReady()));
    bus.connect(Bus, host.path, Events, "RequestAllSimbols", &host, SLOT(requestAll()));
    bus.connect(Bus, host.path, Events, "NewTime", &host, SLOT(newTime(double)));
    bus.connect(Bus, host.path, Events, "EndDownload", &host, SLOT(endDownload(QString, double)));
    r = host.call(Cls, "Iniciar", {dir});
    if (r.type() == QDBusMessage::ErrorMessage) {
        std::fprintf(stderr, "qxd-demo-host: Iniciar: %s\n", qPrintable(r.errorMessage()));
        return 1;
    }
    const QString hist = p.value(history).isEmpty() ? host.symbols.first() : p.value(history);
    // Daily bars for the first half of 2004 (OLE Automation dates).
    host.call(Cls, "RequestHistoricData", {hist, -1.0, 37988.0, 38169.0});
    QTimer again;
    int round = 0;
    QObject::connect(&again, &QTimer::timeout, [&] {
        // One month of one-minute bars, then half a year of daily ones.
        if (++round % 2)
            host.call(Cls, "RequestHistoricData", {hist, 1.0, 37988.0, 38018.0});
        else
            host.call(Cls, "RequestHistoricData", {hist, -1.0, 37988.0, 38169.0});
    });
    if (const int s = p.value(historyEvery).toInt(); s > 0) again.start(s * 1000);
    std::printf("host started: object %s, data folder %s\n", qPrintable(host.path),
                qPrintable(dir));
    std::fflush(stdout);

    auto finish = [&] {
        host.call("QXDataClient.Instance", "Release");
        std::printf("quotes %d, times %d, downloads %d\nlogons %d\n", host.quotes, host.times,
                    host.downloads, host.logons);
        std::fflush(stdout);
        app.quit();
    };
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) == 0) {
        auto* n = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, &app);
        QObject::connect(n, &QSocketNotifier::activated, &app, finish);
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    if (const int s = p.value(seconds).toInt(); s > 0) QTimer::singleShot(s * 1000, &app, finish);
    return app.exec();
}

#include "host.moc"
