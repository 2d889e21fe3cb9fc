// The out-of-process host of the D-Bus benchmark. Listens to one object's
// PropertiesChanged and FeederReady; each quote's volume is its sequence
// number, taken with the arrival time (CLOCK_MONOTONIC, shared by every
// process of the machine). Prints "count N" every 50 ms; on end of standard
// input writes the (sequence, nanoseconds) pairs to the output file.
//
//   bench_dbus_host --service NAME --path PATH --out FILE
//   bench_dbus_host --client --folder DIR --out FILE [symbols...]
//       (creates and starts an object of the client and subscribes)
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace {

qint64 nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

class Host : public QObject {
    Q_OBJECT
public:
    QString service, path;
    QStringList symbols;
    double vol = -1;
    std::vector<std::pair<qint64, qint64>> seen;

    QDBusMessage call(const QString& iface, const QString& method, const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(service, path, iface, method);
        m.setArguments(args);
        return QDBusConnection::sessionBus().call(m, QDBus::Block, 30000);
    }

public slots:
    void changed(const QString&, const QVariantMap& c, const QStringList&) {
        const auto it = c.constFind(QStringLiteral("Vol"));
        if (it != c.constEnd()) vol = it->toDouble();
    }
    void feederReady() { seen.emplace_back(qint64(vol), nowNs()); }
    void requestAll() {
        for (const QString& s : symbols)
            call(QStringLiteral("QXDataClient._QXDClientCLS"), "AddSymbol", {s});
        std::printf("subscribed\n");
        std::fflush(stdout);
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    const QCommandLineOption service("service", "Bus name.", "name"), path("path", "Object.", "p"),
        out("out", "Output file.", "file"), client("client", "Drive the client."),
        folder("folder", "Data folder.", "dir");
    p.addOptions({service, path, out, client, folder});
    p.process(app);

    Host h;
    h.symbols = p.positionalArguments();
    h.seen.reserve(1 << 22);
    QDBusConnection bus = QDBusConnection::sessionBus();
    QString events = QStringLiteral("bench.Events");
    if (p.isSet(client)) {
        h.service = QStringLiteral("QXDataClient.QXDClientCLS");
        h.path = QStringLiteral("/QXDClientCLS");
        const QDBusMessage r = h.call("QXDataClient.ClassFactory", "CreateInstance");
        if (r.type() != QDBusMessage::ReplyMessage) {
            std::fprintf(stderr, "bench_dbus_host: %s\n", qPrintable(r.errorMessage()));
            return 1;
        }
        h.path = r.arguments().at(0).value<QDBusObjectPath>().path();
        events = QStringLiteral("QXDataClient.__QXDClientCLS");
        bus.connect(h.service, h.path, events, "RequestAllSimbols", &h, SLOT(requestAll()));
    } else {
        h.service = p.value(service);
        h.path = p.value(path);
    }
    bus.connect(h.service, h.path, "org.freedesktop.DBus.Properties", "PropertiesChanged", &h,
                SLOT(changed(QString, QVariantMap, QStringList)));
    bus.connect(h.service, h.path, events, "FeederReady", &h, SLOT(feederReady()));
    if (p.isSet(client)) h.call("QXDataClient._QXDClientCLS", "Iniciar", {p.value(folder)});
    std::printf("ready\n");
    std::fflush(stdout);

    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        std::printf("count %zu\n", h.seen.size());
        std::fflush(stdout);
    });
    tick.start(50);
    QSocketNotifier in(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&in, &QSocketNotifier::activated, [&] {
        char b[256];
        if (::read(STDIN_FILENO, b, sizeof b) > 0) return;
        QFile f(p.value(out));
        if (f.open(QIODevice::WriteOnly))
            f.write(reinterpret_cast<const char*>(h.seen.data()),
                    qint64(h.seen.size() * sizeof h.seen[0]));
        if (p.isSet(client)) h.call("QXDataClient.Instance", "Release");
        app.quit();
    });
    return app.exec();
}

#include "dbus_host.moc"
