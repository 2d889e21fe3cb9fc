// The out-of-process host of the D-Bus benchmark. Listens to one object's
// PropertiesChanged and FeederReady; each quote's volume is its sequence
// number, taken with the arrival time (CLOCK_MONOTONIC, shared by every
// process of the machine). Prints "count N" every 50 ms; on end of standard
// input writes the (sequence, nanoseconds) pairs to the output file.
//
// The quotes are read on a connection of their own, with libdbus, on a
// thread of their own: the signal's arguments are walked in place for the
// one value the host wants. Through QtDBus every PropertiesChanged was
// unpacked into a map of variants first, which took a whole CPU at 10,000
// quotes/s on the benchmark machine and left the bus and the client less
// of it. Calls (create, start, subscribe, release) stay on QtDBus.
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

#include <dbus/dbus.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
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

    QDBusMessage call(const QString& iface, const QString& method, const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(service, path, iface, method);
        m.setArguments(args);
        return QDBusConnection::sessionBus().call(m, QDBus::Block, 30000);
    }

public slots:
    void requestAll() {
        for (const QString& s : symbols)
            call(QStringLiteral("QXDataClient._QXDClientCLS"), "AddSymbol", {s});
        std::printf("subscribed\n");
        std::fflush(stdout);
    }
};

// The quote listener: its own bus connection, read on its own thread.
class Quotes {
public:
    std::vector<std::pair<qint64, qint64>> seen; // read after stop()
    std::atomic<std::size_t> count{0};

    ~Quotes() { stop(); }

    bool start(const QString& path, const QString& events) {
        DBusError err;
        dbus_error_init(&err);
        c_ = dbus_bus_get_private(DBUS_BUS_SESSION, &err);
        if (!c_) {
            std::fprintf(stderr, "bench_dbus_host: %s\n", err.message);
            dbus_error_free(&err);
            return false;
        }
        path_ = path.toUtf8();
        events_ = events.toUtf8();
        seen.reserve(1 << 22);
        for (const QByteArray& rule :
             {"type='signal',interface='org.freedesktop.DBus.Properties',member="
              "'PropertiesChanged',path='" +
                  path_ + "'",
              "type='signal',interface='" + events_ + "',member='FeederReady',path='" + path_ +
                  "'"}) {
            dbus_bus_add_match(c_, rule.constData(), &err);
            if (dbus_error_is_set(&err)) {
                std::fprintf(stderr, "bench_dbus_host: %s\n", err.message);
                dbus_error_free(&err);
                return false;
            }
        }
        dbus_connection_add_filter(c_, &Quotes::filter, this, nullptr);
        thread_ = std::thread([this] {
            while (!stop_.load() && dbus_connection_read_write_dispatch(c_, 50)) {
            }
        });
        return true;
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (c_) {
            dbus_connection_close(c_);
            dbus_connection_unref(c_);
            c_ = nullptr;
        }
    }

private:
    static DBusHandlerResult filter(DBusConnection*, DBusMessage* m, void* self) {
        auto* q = static_cast<Quotes*>(self);
        const char* path = dbus_message_get_path(m);
        if (!path || q->path_ != path) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        if (dbus_message_is_signal(m, q->events_.constData(), "FeederReady")) {
            q->seen.emplace_back(qint64(q->vol_), nowNs());
            q->count.store(q->seen.size(), std::memory_order_release);
        } else if (dbus_message_is_signal(m, "org.freedesktop.DBus.Properties",
                                          "PropertiesChanged")) {
            q->readVol(m);
        }
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    // PropertiesChanged(s interface, a{sv} changed, as invalidated): the
    // value of "Vol" among the changed, when it is there.
    void readVol(DBusMessage* m) {
        DBusMessageIter args, dict, entry, value;
        if (!dbus_message_iter_init(m, &args) || !dbus_message_iter_next(&args) ||
            dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY)
            return;
        dbus_message_iter_recurse(&args, &dict);
        while (dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY) {
            dbus_message_iter_recurse(&dict, &entry);
            const char* key = nullptr;
            dbus_message_iter_get_basic(&entry, &key);
            if (key && std::strcmp(key, "Vol") == 0 && dbus_message_iter_next(&entry)) {
                dbus_message_iter_recurse(&entry, &value);
                if (dbus_message_iter_get_arg_type(&value) == DBUS_TYPE_DOUBLE)
                    dbus_message_iter_get_basic(&value, &vol_);
                return;
            }
            dbus_message_iter_next(&dict);
        }
    }

    DBusConnection* c_ = nullptr;
    QByteArray path_, events_;
    double vol_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
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
    Quotes quotes;
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
    if (!quotes.start(h.path, events)) return 1;
    if (p.isSet(client)) h.call("QXDataClient._QXDClientCLS", "Iniciar", {p.value(folder)});
    std::printf("ready\n");
    std::fflush(stdout);

    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        std::printf("count %zu\n", quotes.count.load(std::memory_order_acquire));
        std::fflush(stdout);
    });
    tick.start(50);
    QSocketNotifier in(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&in, &QSocketNotifier::activated, [&] {
        char b[256];
        if (::read(STDIN_FILENO, b, sizeof b) > 0) return;
        quotes.stop();
        QFile f(p.value(out));
        if (f.open(QIODevice::WriteOnly))
            f.write(reinterpret_cast<const char*>(quotes.seen.data()),
                    qint64(quotes.seen.size() * sizeof quotes.seen[0]));
        if (p.isSet(client)) h.call("QXDataClient.Instance", "Release");
        app.quit();
    });
    return app.exec();
}

#include "dbus_host.moc"
