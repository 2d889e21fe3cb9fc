// The client as hosts see it: a private bus daemon started here activates
// qxdataclient from the file --regserver wrote; hosts create objects,
// start them, subscribe, receive quotes with their properties and release.
#include "automation/dbus_face.h"
#include "support/feed_server.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <limits>

using namespace qxd;

namespace {

const QString Client = QStringLiteral(QXD_CLIENT_PATH);

// Records the object's signals in the order they arrive.
class Listener : public QObject {
    Q_OBJECT
public:
    QStringList order;
    QList<QVariantMap> changes;
    QList<double> times;
    QStringList feedStates, status; // the Status interface: FeedState values, signals
    std::function<void()> onRequestAll;
public slots:
    void feederReady() { order << "FeederReady"; }
    void requestAll() {
        order << "RequestAllSimbols";
        if (onRequestAll) onRequestAll();
    }
    void newTime(double t) {
        order << "NewTime";
        times << t;
    }
    void endDownload(const QString&, double) { order << "EndDownload"; }
    void note(const QString& text) { status << "Note " + text; }
    void overloaded(qulonglong skipped, qulonglong dropped) {
        status << QStringLiteral("Overloaded %1 %2").arg(skipped).arg(dropped);
    }
    void downloadEnded(const QString& s, double ty, bool ok, const QString& why) {
        status << QStringLiteral("DownloadEnded %1 %2 %3 %4").arg(s).arg(ty).arg(ok).arg(why);
    }
    void propertiesChanged(const QString& iface, const QVariantMap& changed, const QStringList&) {
        if (iface == QLatin1String("QXDataClient.Status") && changed.contains("FeedState"))
            feedStates << changed.value("FeedState").toString();
        if (iface != QLatin1String(ClassInterface)) return;
        order << "PropertiesChanged";
        changes << changed;
    }
};

// A port on 127.0.0.1 that nothing listens on.
quint16 closedPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

struct Bus {
    QTemporaryDir dir;
    QProcess daemon;
    QString address;
    ScriptedServer feed;
    // The client the bus activates, copied where its path needs quoting.
    QString client;

    Bus() {
        const QString services = dir.path() + "/data/dbus-1/services";
        QDir().mkpath(services);
        QDir().mkpath(dir.path() + "/config");
        QFile ini(dir.path() + "/config/QXDATA.INI");
        if (ini.open(QIODevice::WriteOnly))
            ini.write("[QXDATA]\nIP=127.0.0.1\nPORT=" + QByteArray::number(feed.port()) +
                      "\nUserName=trader\nReconnect=1\n[QXHIST]\nIP=127.0.0.1\nPORT=" +
                      QByteArray::number(closedPort()) + "\n");
        ini.close();
        // What the activated client inherits.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", dir.path() + "/data");
        env.insert("XDG_CONFIG_HOME", dir.path() + "/config");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QXD_PASSWORD", "pw");
        env.insert("QXD_TIMER1_MS", "100");
        env.insert("QXD_TIMERHIST_MS", "100");
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        daemon.setProcessEnvironment(env);
        // The session bus's own configuration: it activates services from
        // $XDG_DATA_HOME/dbus-1/services.
        daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address",
                                     "--address=unix:tmpdir=" + dir.path()});
        if (daemon.waitForReadyRead(10000))
            address = QString::fromLatin1(daemon.readLine().trimmed());

        const QString bin = dir.path() + "/bin of \"the\" $desk`s \\ 'tools'";
        QDir().mkpath(bin);
        client = bin + "/qxdataclient";
        QFile::copy(Client, client);
        QProcess reg;
        reg.setProcessEnvironment(env);
        reg.start(client, {"--regserver"});
        reg.waitForFinished(10000);
    }
    // The client the bus started writes its settings back when the bus
    // goes; it must be done before the folder they go to is removed.
    ~Bus() {
        uint client = 0;
        if (!address.isEmpty()) {
            QDBusConnection c = connect("teardown");
            if (c.isConnected() && c.interface()->isServiceRegistered(BusName))
                client = c.interface()->servicePid(BusName);
            QDBusConnection::disconnectFromBus("teardown");
        }
        daemon.terminate();
        daemon.waitForFinished(5000);
        QElapsedTimer t;
        t.start();
        while (client && running(client) && t.elapsed() < 10000) QTest::qSleep(10);
    }
    // Whether a process that is not ours to wait for still runs.
    static bool running(uint pid) {
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!f.open(QIODevice::ReadOnly)) return false;
        const QByteArray stat = f.readAll();
        const qsizetype state = stat.lastIndexOf(')') + 2; // after "pid (name) "
        return state < stat.size() && stat.at(state) != 'Z';
    }
    QDBusConnection connect(const QString& name) {
        return QDBusConnection::connectToBus(address, name);
    }
    bool serviceFile() const {
        return QFile::exists(dir.path() +
                             "/data/dbus-1/services/QXDataClient.QXDClientCLS.service");
    }
};

QDBusMessage call(QDBusConnection& c, const QString& path, const QString& iface,
                  const QString& method, const QVariantList& args = {}) {
    QDBusMessage m = QDBusMessage::createMethodCall(BusName, path, iface, method);
    m.setArguments(args);
    return c.call(m, QDBus::Block, 20000);
}

bool nameOwned(QDBusConnection& c) {
    return c.interface()->isServiceRegistered(BusName);
}

void listen(QDBusConnection& c, const QString& path, Listener* l) {
    const QString ev = QStringLiteral("QXDataClient.__QXDClientCLS");
    c.connect(BusName, path, ev, "FeederReady", l, SLOT(feederReady()));
    c.connect(BusName, path, ev, "RequestAllSimbols", l, SLOT(requestAll()));
    c.connect(BusName, path, ev, "NewTime", l, SLOT(newTime(double)));
    c.connect(BusName, path, ev, "EndDownload", l, SLOT(endDownload(QString, double)));
    c.connect(BusName, path, "QXDataClient.Status", "Note", l, SLOT(note(QString)));
    c.connect(BusName, path, "QXDataClient.Status", "Overloaded", l,
              SLOT(overloaded(qulonglong, qulonglong)));
    c.connect(BusName, path, "QXDataClient.Status", "DownloadEnded", l,
              SLOT(downloadEnded(QString, double, bool, QString)));
    c.connect(BusName, path, "org.freedesktop.DBus.Properties", "PropertiesChanged", l,
              SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
}

// Creates an object for `host`, listens to it and starts it; returns once
// the client has logged on and asked the host for its symbols.
void startObject(Bus& bus, QDBusConnection& host, Listener& l, QString* path) {
    QDBusMessage r = call(host, FactoryPath, "QXDataClient.ClassFactory", "CreateInstance");
    QCOMPARE(r.type(), QDBusMessage::ReplyMessage);
    *path = r.arguments().at(0).value<QDBusObjectPath>().path();
    listen(host, *path, &l);
    call(host, *path, ClassInterface, "Iniciar", {bus.dir.path() + "/hostdata"});
    QTRY_VERIFY_WITH_TIMEOUT(bus.feed.count("&1") == 1, 15000);
    QTRY_COMPARE(l.order.value(0), QStringLiteral("RequestAllSimbols"));
}

} // namespace

class TestDBus : public QObject {
    Q_OBJECT
private slots:
    void hostSession();
    void releaseOncePerObject();
    void refusedLogon();
    void objectsAreBounded();
    void unregister();
    void terminateEndsAShownWindow();
};

void TestDBus::hostSession() {
    Bus bus;
    QVERIFY2(!bus.address.isEmpty(), "dbus-daemon did not start");
    QVERIFY(bus.serviceFile());
    QDBusConnection host = bus.connect("host");
    QVERIFY(host.isConnected());

    // The first call starts the program.
    QDBusMessage r = call(host, FactoryPath, "QXDataClient.ClassFactory", "CreateInstance");
    QCOMPARE(r.type(), QDBusMessage::ReplyMessage);
    const QString path = r.arguments().at(0).value<QDBusObjectPath>().path();
    QCOMPARE(path, QStringLiteral("/QXDClientCLS/1"));

    // Introspection lists the members in interface order.
    r = call(host, path, "org.freedesktop.DBus.Introspectable", "Introspect");
    const QString xml = r.arguments().at(0).toString();
    const qsizetype from =
        xml.indexOf(QStringLiteral("<interface name=\"%1\"").arg(ClassInterface));
    QVERIFY(from >= 0);
    QStringList members;
    QRegularExpression member(
        QStringLiteral("<(?:property|method) name=\"(\\w+)\"(?: type=\"(\\w+)\")?"));
    for (const auto& m :
         member.globalMatch(xml.mid(from, xml.indexOf("</interface>", from) - from)))
        members << m.captured(1) + ":" + m.captured(2);
    QCOMPARE(members.join(' '),
             QStringLiteral("Simbolo:s Last:d LastS:d Bid:d Ask:d AskS:d BidS:d Change:d OpenV:d "
                            "High:d Low:d Previous:d OInt:d Vol:d TimeV:d Flag:n "
                            "QuvantixServerDateTime:d nTicks:n mClassCont:i AddSymbol: LogOff: "
                            "RequestHistoricData: Iniciar: RequestSymbol: ShowMe:"));

    // The status is there before Iniciar.
    r = call(host, path, "org.freedesktop.DBus.Properties", "Get",
             {QStringLiteral("QXDataClient.Status"), QStringLiteral("FeedState")});
    QCOMPARE(r.arguments().value(0).value<QDBusVariant>().variant().toString(),
             QStringLiteral("idle"));

    Listener l;
    listen(host, path, &l);
    l.onRequestAll = [&] {
        call(host, path, ClassInterface, "AddSymbol", {QStringLiteral("PETR4")});
    };
    QCOMPARE(call(host, path, ClassInterface, "Iniciar", {bus.dir.path() + "/hostdata"}).type(),
             QDBusMessage::ReplyMessage);
    // The client logs on by itself (password from its environment) and the
    // host subscribes when asked.
    QTRY_COMPARE_WITH_TIMEOUT(bus.feed.count("#APETR4"), 1, 15000);
    bus.feed.send("$PETR4,10.5,100,-0.25,1500,3");
    bus.feed.send("}200407221530");
    QTRY_COMPARE_WITH_TIMEOUT(l.times.size(), 1, 10000);
    QCOMPARE(l.order, (QStringList{"RequestAllSimbols", "PropertiesChanged", "FeederReady",
                                   "PropertiesChanged", "NewTime"}));
    const QVariantMap q = l.changes.at(0);
    QCOMPARE(q.value("Simbolo").toString(), QStringLiteral("PETR4"));
    QCOMPARE(q.value("Last").toDouble(), 10.5);
    QCOMPARE(q.value("Change").toDouble(), -0.25);
    QCOMPARE(q.value("nTicks").toInt(), 3);
    QCOMPARE(q.size(), 17);
    QCOMPARE(l.times.at(0), 38190.0 + 15.5 / 24);

    // Properties read back, as the relay left them.
    r = call(host, path, "org.freedesktop.DBus.Properties", "Get",
             {QString(ClassInterface), QStringLiteral("Last")});
    QCOMPARE(r.arguments().value(0).value<QDBusVariant>().variant().toDouble(), 10.5);

    // The status: the logon's states, a note, an overload, a download that
    // ends without data (its server cannot be reached), and losses the
    // client recovers from.
    QTRY_VERIFY(l.feedStates.contains("logged-on"));
    bus.feed.send("@Market opens");
    bus.feed.sendRaw(QByteArray(3000, 'j')); // one chunk over the limit
    call(host, path, ClassInterface, "RequestHistoricData",
         {QStringLiteral("XYZ"), 1.0, 37988.0, 38169.0});
    QTRY_COMPARE(l.status.size(), 3);
    QVERIFY(l.status.contains("Note Market opens"));
    QVERIFY(l.status.contains("Overloaded 1 0"));
    QVERIFY2(!l.status.filter(QRegularExpression("^DownloadEnded XYZ 1 0 connection-lost: ")).isEmpty(),
             qPrintable(l.status.join('|')));
    bus.feed.send("#N");
    QTRY_COMPARE_WITH_TIMEOUT(l.feedStates.count("logged-on"), 2, 10000);
    bus.feed.closePeer();
    QTRY_COMPARE_WITH_TIMEOUT(l.feedStates.count("logged-on"), 3, 10000);
    QCOMPARE(l.feedStates.count("lost"), 2);
    QCOMPARE(l.order.count("EndDownload"), 0);

    // A host that fires calls without waiting: every one reaches the server.
    for (int i = 0; i < 5000; ++i) {
        QDBusMessage m = QDBusMessage::createMethodCall(BusName, path, ClassInterface, "AddSymbol");
        m.setArguments({QStringLiteral("S%1").arg(i)});
        host.send(m);
    }
    QTRY_COMPARE_WITH_TIMEOUT(bus.feed.count("#AS4999"), 1, 60000);
    QCOMPARE(std::count_if(bus.feed.received.begin(), bus.feed.received.end(),
                           [](const QByteArray& m) { return m.startsWith("#AS"); }),
             5000);

    // Wrong argument types and a symbol of megabytes: an error for the
    // host, and the client carries on.
    r = call(host, path, ClassInterface, "RequestHistoricData", {QStringLiteral("X"), 1});
    QCOMPARE(r.type(), QDBusMessage::ErrorMessage);
    r = call(host, path, ClassInterface, "AddSymbol", {QString(1 << 20, QChar('Z'))});
    QCOMPARE(r.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(call(host, path, ClassInterface, "RequestSymbol", {QStringLiteral("VALE3")}).type(),
             QDBusMessage::ReplyMessage);
    QTRY_COMPARE(bus.feed.count("#CVALE3"), 1);

    QCOMPARE(call(host, path, ClassInterface, "LogOff").type(), QDBusMessage::ReplyMessage);
    QTRY_COMPARE(l.feedStates.last(), QStringLiteral("logged-off"));

    // Releasing the object ends the program; the feed was signed off.
    QCOMPARE(call(host, path, "QXDataClient.Instance", "Release").type(),
             QDBusMessage::ReplyMessage);
    QTRY_VERIFY_WITH_TIMEOUT(!nameOwned(host), 10000);
    QTRY_COMPARE(bus.feed.count("#N"), 1);
    QFile ini(bus.dir.path() + "/config/QXDATA.INI");
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().contains("Reconnect=1")); // written back at the unload
    QDBusConnection::disconnectFromBus("host");
}

// A release with a raised count: the object leaves the bus and hears no more
// quotes while the program runs on, and its creator's later disconnect
// does not release it again. Property writes convert as arguments do, and
// a value of the wrong type is refused.
void TestDBus::releaseOncePerObject() {
    Bus bus;
    QVERIFY(!bus.address.isEmpty());
    QDBusConnection other = bus.connect("other");
    QString creator, otherPath;
    Listener l, released, stays;
    {
        QDBusConnection host = bus.connect("creator");
        creator = host.baseService();
        QString path;
        startObject(bus, host, l, &path);
        if (QTest::currentTestFailed()) return;
        QDBusMessage r = call(other, FactoryPath, "QXDataClient.ClassFactory", "CreateInstance");
        otherPath = r.arguments().value(0).value<QDBusObjectPath>().path();
        QCOMPARE(call(other, otherPath, ClassInterface, "Iniciar", {QString()}).type(),
                 QDBusMessage::ReplyMessage);
        // Both objects' signals reach `other` in the order the client sent them.
        listen(other, path, &released);
        listen(other, otherPath, &stays);

        auto set = [&](const char* name, const QVariant& v) {
            return call(
                host, path, "org.freedesktop.DBus.Properties", "Set",
                {QString(ClassInterface), QString(name), QVariant::fromValue(QDBusVariant(v))});
        };
        auto get = [&](const char* name) {
            return call(host, path, "org.freedesktop.DBus.Properties", "Get",
                        {QString(ClassInterface), QString(name)})
                .arguments()
                .value(0)
                .value<QDBusVariant>()
                .variant();
        };
        QCOMPARE(set("Last", 1e300).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(get("Last").toDouble(), qInf());
        QCOMPARE(set("Bid", -3.40282352e38).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(get("Bid").toDouble(), -double(std::numeric_limits<float>::max()));
        QCOMPARE(set("Last", QStringLiteral("ten")).type(), QDBusMessage::ErrorMessage);
        QCOMPARE(set("Flag", 1.5).type(), QDBusMessage::ErrorMessage);
        QCOMPARE(set("mClassCont", QStringLiteral("2")).type(), QDBusMessage::ErrorMessage);
        QCOMPARE(get("Last").toDouble(), qInf());
        QCOMPARE(set("mClassCont", 2).type(), QDBusMessage::ReplyMessage);

        QCOMPARE(call(host, path, "QXDataClient.Instance", "Release").type(),
                 QDBusMessage::ReplyMessage);
        QCOMPARE(call(host, path, ClassInterface, "ShowMe").type(), QDBusMessage::ErrorMessage);
        bus.feed.send("$PETR4,10.5,100,-0.25,1500,3");
        QTRY_COMPARE_WITH_TIMEOUT(stays.order.count("FeederReady"), 1, 10000);
        QCOMPARE(released.order.count("FeederReady"), 0);
    }
    QDBusConnection::disconnectFromBus("creator");
    QTRY_VERIFY_WITH_TIMEOUT(!other.interface()->isServiceRegistered(creator), 10000);
    // The client hears of the disconnect before this call, and answers it.
    QCOMPARE(call(other, otherPath, ClassInterface, "RequestSymbol", {QStringLiteral("X")}).type(),
             QDBusMessage::ReplyMessage);
    QVERIFY(nameOwned(other));
    QDBusConnection::disconnectFromBus("other");
}

// A server that refuses the logon: the host sees it in the status.
void TestDBus::refusedLogon() {
    Bus bus;
    bus.feed.refuse = true;
    QDBusConnection host = bus.connect("refused");
    QDBusMessage r = call(host, FactoryPath, "QXDataClient.ClassFactory", "CreateInstance");
    const QString path = r.arguments().value(0).value<QDBusObjectPath>().path();
    Listener l;
    listen(host, path, &l);
    call(host, path, ClassInterface, "Iniciar", {bus.dir.path() + "/hostdata"});
    QTRY_COMPARE_WITH_TIMEOUT(l.feedStates.value(l.feedStates.size() - 1), QStringLiteral("refused"),
                              15000);
    QVERIFY(l.order.isEmpty());
    QDBusConnection::disconnectFromBus("refused");
}

// A host that creates objects in a loop is refused past the bound, and the
// client carries on.
void TestDBus::objectsAreBounded() {
    Bus bus;
    QVERIFY(!bus.address.isEmpty());
    QDBusConnection host = bus.connect("many");
    QString first;
    for (int i = 0; i < DBusFace::MaxInstances; ++i) {
        QDBusMessage r = call(host, FactoryPath, "QXDataClient.ClassFactory", "CreateInstance");
        QCOMPARE(r.type(), QDBusMessage::ReplyMessage);
        if (i == 0) first = r.arguments().at(0).value<QDBusObjectPath>().path();
    }
    QDBusMessage r = call(host, FactoryPath, "QXDataClient.ClassFactory", "CreateInstance");
    QCOMPARE(r.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(r.errorName(), QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded"));
    QCOMPARE(call(host, first, ClassInterface, "RequestSymbol", {QStringLiteral("VALE3")}).type(),
             QDBusMessage::ReplyMessage);
    QDBusConnection::disconnectFromBus("many");
}

void TestDBus::unregister() {
    Bus bus;
    QVERIFY(bus.serviceFile());
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", bus.dir.path() + "/data");
    p.setProcessEnvironment(env);
    p.start(Client, {"--unregserver"});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(!bus.serviceFile());

    // A second program on a bus whose name is taken says so and exits.
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess first, second;
    first.setProcessEnvironment(env);
    second.setProcessEnvironment(env);
    first.start(Client, {});
    QDBusConnection c = bus.connect("probe");
    QTRY_VERIFY_WITH_TIMEOUT(nameOwned(c), 10000);
    second.start(Client, {});
    QVERIFY(second.waitForFinished(10000));
    QVERIFY(second.exitCode() != 0);
    QVERIFY(second.readAllStandardError().contains("already taken"));
    first.terminate();
    QVERIFY(first.waitForFinished(10000));
    QDBusConnection::disconnectFromBus("probe");
}

// Without a bus the program shows its window at once. The window refuses to
// close (it minimises), which must not keep SIGTERM from ending the program
// through its unload step, where the settings are written back.
void TestDBus::terminateEndsAShownWindow() {
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.path() + "/no-bus");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", dir.path());
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(Client, {});
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += p.readAllStandardError()).contains("running without hosts"),
                             10000);
    p.terminate();
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(QFile::exists(dir.path() + "/QXDATA.INI"));
}

QTEST_GUILESS_MAIN(TestDBus)
#include "test_dbus.moc"
