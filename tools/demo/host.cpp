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
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMap>
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
const QString Status = QStringLiteral("QXDataClient.Status");
int g_pipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_pipe[1], &c, 1);
}

// An OLE Automation date (days since 1899-12-30, the fraction the time of
// day) as a local date and time.
QString oleDateText(double t) {
    const QDateTime epoch(QDate(1899, 12, 30), QTime(0, 0));
    return epoch.addMSecs(qint64(t * 86400000.0 + 0.5)).toString("yyyy-MM-dd HH:mm");
}

// The file a download's series gets in the historic folder.
QString seriesFile(const QString& symbol, double ty) {
    if (ty == -1) return symbol + ".QXDAY";
    if (ty == 1) return symbol + ".QX1M";
    return symbol + ".QX" + QString::number(ty) + "M";
}

class Host : public QObject {
    Q_OBJECT
public:
    QString path, folder;
    QStringList symbols;
    QVariantMap props;
    QMap<QString, int> quotesBySymbol;
    int quotes = 0, times = 0, downloads = 0, failedDownloads = 0, logons = 0;
    int printEvery = 1;

    QDBusMessage call(const QString& iface, const QString& method, const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(Bus, path, iface, method);
        m.setArguments(args);
        return QDBusConnection::sessionBus().call(m, QDBus::Block, 30000);
    }

public slots:
    void changed(const QString& iface, const QVariantMap& c, const QStringList&) {
        if (iface == Cls) props.insert(c);
        if (iface != Status) return;
        for (const char* name : {"FeedState", "HistoricState"})
            if (c.contains(name))
                std::printf("%s: %s\n", name[0] == 'F' ? "feed" : "historic",
                            qPrintable(c.value(name).toString()));
        std::fflush(stdout);
    }
    void note(const QString& text) {
        std::printf("server note: %s\n", qPrintable(text));
        std::fflush(stdout);
    }
    void downloadEnded(const QString& s, double ty, bool ok, const QString& reason) {
        if (ok) return; // EndDownload says it
        ++failedDownloads;
        std::printf("download ended without data: %s (interval %g): %s\n", qPrintable(s), ty,
                    qPrintable(reason));
        std::fflush(stdout);
    }
    void feederReady() {
        const QString symbol = props.value("Simbolo").toString();
        ++quotesBySymbol[symbol];
        if (quotes++ % printEvery) return;
        const int flag = props.value("Flag").toInt();
        const double last = props.value("Last").toDouble(), vol = props.value("Vol").toDouble();
        // A trade carries its price, size and volume; a quote the book as well.
        if (flag == 0)
            std::printf("trade     %-8s last %9.2f  size %8.0f  vol %12.0f\n", qPrintable(symbol),
                        last, props.value("LastS").toDouble(), vol);
        else
            std::printf("%-9s %-8s last %9.2f  bid %9.2f  ask %9.2f  vol %12.0f\n",
                        flag == 2 ? "requested" : "quote", qPrintable(symbol), last,
                        props.value("Bid").toDouble(), props.value("Ask").toDouble(), vol);
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
        std::printf("server time %s\n", qPrintable(oleDateText(t)));
        std::fflush(stdout);
    }
    void endDownload(const QString& s, double ty) {
        ++downloads;
        const QString file = folder + "/indataqx/" + seriesFile(s, ty);
        QFile f(file);
        qint64 bars = 0;
        if (f.open(QIODevice::ReadOnly))
            while (!f.readLine().isEmpty()) ++bars;
        std::printf("download finished: %s, %s bars: %s (%lld bars)\n", qPrintable(s),
                    ty == -1 ? "daily" : qPrintable(QString::number(ty) + "-minute"),
                    qPrintable(file), (long long)bars);
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
    const QCommandLineOption alsoHistory(QStringLiteral("also-history"),
                                         "Another symbol whose daily bars to download.", "symbol");
    p.addOptions({folder, seconds, history, alsoHistory, wait, every, historyEvery});
    p.addPositionalArgument("symbols", "Symbols to subscribe.");
    p.process(app);

    Host host;
    host.symbols = p.positionalArguments();
    if (host.symbols.isEmpty()) host.symbols = {"PETR4", "VALE3", "ITUB4", "BBDC4", "ABEV3"};
    host.printEvery = std::max(1, p.value(every).toInt());
    const QString dir = p.value(folder);
    host.folder = dir;
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
    bus.connect(Bus, host.path, Status, "Note", &host, SLOT(note(QString)));
    bus.connect(Bus, host.path, Status, "DownloadEnded", &host,
                SLOT(downloadEnded(QString, double, bool, QString)));
    r = host.call(Cls, "Iniciar", {dir});
    if (r.type() == QDBusMessage::ErrorMessage) {
        std::fprintf(stderr, "qxd-demo-host: Iniciar: %s\n", qPrintable(r.errorMessage()));
        return 1;
    }
    const QString hist = p.value(history).isEmpty() ? host.symbols.first() : p.value(history);
    // Daily bars for the first half of 2004 (OLE Automation dates).
    host.call(Cls, "RequestHistoricData", {hist, -1.0, 37988.0, 38169.0});
    for (const QString& more : p.values(alsoHistory))
        host.call(Cls, "RequestHistoricData", {more, -1.0, 37988.0, 38169.0});
    QTimer again;
    int round = 0;
    QObject::connect(&again, &QTimer::timeout, [&] {
        // One month of one-minute bars, then half a year of daily ones.
        if (++round % 2)
            host.call(Cls, "RequestHistoricData", {hist, 1.0, 37988.0, 38018.0});
        else
            host.call(Cls, "RequestHistoricData", {hist, -1.0, 37988.0, 38169.0});
    for (const QString& more : p.values(alsoHistory))
        host.call(Cls, "RequestHistoricData", {more, -1.0, 37988.0, 38169.0});
    });
    if (const int s = p.value(historyEvery).toInt(); s > 0) again.start(s * 1000);
    std::printf("host started: object %s, data folder %s\n", qPrintable(host.path),
                qPrintable(dir));
    std::fflush(stdout);

    auto finish = [&] {
        host.call("QXDataClient.Instance", "Release");
        QStringList bySymbol;
        for (auto it = host.quotesBySymbol.cbegin(); it != host.quotesBySymbol.cend(); ++it)
            bySymbol << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
        std::printf("quotes %d, times %d, downloads %d\nlogons %d, downloads without data %d\n"
                    "quotes by symbol: %s\n",
                    host.quotes, host.times, host.downloads, host.logons, host.failedDownloads,
                    qPrintable(bySymbol.isEmpty() ? QStringLiteral("none") : bySymbol.join(", ")));
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
