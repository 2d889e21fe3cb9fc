#include "app/client_core.h"
#include "app/main_window.h"
#include "app/profile.h"
#include "support/disk_faults.h"
#include "support/fake_socket.h"
#include "wire/frame.h"
#include "wire/pack.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace qxd;

namespace {

struct Fixture {
    QTemporaryDir dir;
    FakeSocket* sock = new FakeSocket;
    std::unique_ptr<ClientCore> client;
    TuningMode tuning = TuningMode::Auto;
    QString path() const { return dir.path() + "/QXDATA.INI"; }
    void writeIni(const QByteArray& text) {
        QFile f(path());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QByteArray ini() const { return ReadProfileFile(path()); }
    ClientCore& make() {
        ClientOptions o;
        o.settingsPath = path();
        o.feed.reset(sock);
        o.tuning = tuning;
        client = std::make_unique<ClientCore>(std::move(o));
        return *client;
    }
};

template <class W>
W* ctl(ClientCore& c, const char* name) {
    return qobject_cast<W*>(c.view()->control(name));
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void defaultsWithoutFile();
    void loadReadsBoxes_data();
    void loadReadsBoxes();
    void unloadWritesBack();
    void unwritableSettings_data();
    void unwritableSettings();
    void tuningOff();
};

void TestWindow::defaultsWithoutFile() {
    Fixture f;
    ClientCore& c = f.make();
    QVERIFY(!c.reconnectTimer.timer.isActive());
    QVERIFY(c.showWindow().isEmpty());
    QCOMPARE(c.reconnectTimer.timer.interval(), 30000); // the timers run from the load
    QVERIFY(c.reconnectTimer.timer.isActive() && c.schedulerTimer.timer.isActive());
    QVERIFY(c.view()->windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(ctl<QLineEdit>(c, "password")->echoMode(), QLineEdit::Password);
    // Closing the window only minimises it: the host still needs it.
    c.view()->close();
    QVERIFY(c.isLoaded());
    QVERIFY(c.view()->isMinimized());
}

void TestWindow::loadReadsBoxes_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QByteArrayList>("boxes"); // ServerIP, ServerPort, HistIp, HistPort, UserName
    QTest::addColumn<int>("reconnect");
    QTest::newRow("all keys")
        << QByteArray("[QXDATA]\nIP=10.1.1.1\nPORT=1500\nUserName=trader\nReconnect=1\n"
                      "[QXHIST]\nIP=10.1.1.2\nPORT=12000\n")
        << QByteArrayList{"10.1.1.1", "1500", "10.1.1.2", "12000", "trader"} << 1;
    QTest::newRow("empty value keeps the design text")
        << QByteArray("[QXDATA]\nIP=\nUserName=\nReconnect=\n")
        << QByteArrayList{"192.168.0.1", "1400", "192.168.0.1", "11000", ""} << 0;
}

void TestWindow::loadReadsBoxes() {
    QFETCH(QByteArray, ini);
    QFETCH(QByteArrayList, boxes);
    QFETCH(int, reconnect);
    Fixture f;
    f.writeIni(ini);
    ClientCore& c = f.make();
    QVERIFY(c.showWindow().isEmpty());
    QCOMPARE((QByteArrayList{c.controls.serverHost, c.controls.serverPort, c.controls.historicHost,
                             c.controls.historicPort, c.controls.userName}),
             boxes);
    QCOMPARE(int(c.controls.reconnect), reconnect);
    QCOMPARE(c.controls.password, QByteArray());
    QCOMPARE(ctl<QLineEdit>(c, "userName")->text(), QString::fromLatin1(boxes[4]));
}

void TestWindow::unloadWritesBack() {
    Fixture f;
    f.writeIni("; desk settings\n[QXDATA]\nIP=10.0.0.1\n[Mine]\nx=1\n");
    ClientCore& c = f.make();
    c.showWindow();
    c.controls.userName = "trader";
    c.controls.password = "secret-pw";
    c.controls.reconnect = 1;
    c.controls.historicPort = "12000";
    f.sock->state = SocketComponent::Open;
    c.unloadWindow();
    QCOMPARE(int(c.controls.reconnect), 0); // cleared during the unload...
    const QByteArray ini = f.ini();         // ...but saved as the user had it
    QCOMPARE(ini, QByteArray("; desk settings\n[QXDATA]\nIP=10.0.0.1\nPORT=1400\nUserName=trader\n"
                             "Reconnect=1\n[Mine]\nx=1\n\n[QXHIST]\nIP=192.168.0.1\nPORT=12000\n"));
    QVERIFY(!ini.contains("secret-pw"));
    QCOMPARE(f.sock->sent, QList<QByteArray>{"`12#N~"});
    QCOMPARE(f.sock->state, int(SocketComponent::Closed));
    QVERIFY(!c.isLoaded());
    QVERIFY(!c.reconnectTimer.timer.isActive());
}

void TestWindow::unwritableSettings_data() {
    QTest::addColumn<QString>("fault");
    QTest::newRow("folder missing") << "missing";
    QTest::newRow("a file where the folder goes") << "file";
    QTest::newRow("disk full") << "full";
    QTest::newRow("over a megabyte: cannot be read whole") << "large";
    QTest::newRow("cannot be read") << "unreadable";
}

// Whatever stops the settings write, the unload goes on, the window says
// so, and a settings file that was there is left whole.
void TestWindow::unwritableSettings() {
    QFETCH(QString, fault);
    QTemporaryDir dir;
    QString path = dir.path() + "/cfg/QXDATA.INI";
    QByteArray old = "[QXDATA]\nIP=10.1.1.1\nPORT=1400\nUserName=old\n";
    if (fault == "large") old += "[Mine]\n" + QByteArray(MaxProfileBytes, 'x') + "\nlast=1\n";
    if (fault == "file") {
        QFile blocker(dir.path() + "/cfg");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    } else if (fault != "missing") {
        QDir().mkpath(dir.path() + "/cfg");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(old);
    }
    if (fault == "unreadable") {
        QFile(path).setPermissions(QFile::WriteOwner);
        if (QFile(path).open(QIODevice::ReadOnly)) QSKIP("the file can be read anyway (root)");
    }
    ClientOptions o;
    o.settingsPath = path;
    ClientCore c(std::move(o));
    QVERIFY(c.showWindow().isEmpty());
    c.controls.userName = "new user";
    {
        std::optional<DiskFull> full;
        if (fault == "full") full.emplace(8);
        c.unloadWindow();
    }
    if (fault == "missing") {
        QVERIFY(ReadProfileFile(path).contains("UserName=new user"));
        return;
    }
    QVERIFY(c.controls.messageLine.contains("settings"));
    if (fault == "unreadable") QFile(path).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    if (fault != "file") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), old);
    }
}

// With the tuning off the client is a plain event loop: a fast feed goes
// through to the host without the thread ever polling, the window refreshes
// on every tick.
void TestWindow::tuningOff() {
    QCOMPARE(ParseTuningMode("off"), std::optional(TuningMode::Off));
    QCOMPARE(ParseTuningMode("Auto"), std::nullopt);
    Fixture f;
    f.tuning = TuningMode::Off;
    ClientCore& c = f.make();
    QVERIFY(c.showWindow().isEmpty());
    struct Count : HandOffListener {
        int trades = 0;
        void handOff(const HandOff& h) override { trades += h.vType == KindTrade; }
    } host;
    c.handoff.bind(&host);
    f.sock->state = SocketComponent::Open;
    c.feed.dispatch("#L");
    const QByteArray trade = ConverteToSend(Compress("$PETR4,10.5,100,-0.25,1500,3"));
    for (int i = 0; i < 2000; ++i) f.sock->arrive(trade + trade + trade);
    QCOMPARE(host.trades, 6000);
    QVERIFY(!c.tuning().polling());
    c.controls.statusLine = "shown at the next tick";
    QTRY_COMPARE(ctl<QLabel>(c, "statusLabel")->text(), QStringLiteral("shown at the next tick"));
}

QTEST_MAIN(TestWindow)
#include "test_window.moc"
