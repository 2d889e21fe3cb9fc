// qxdataclient: the client as a program. It takes the bus name
// QXDataClient.QXDClientCLS on the session bus and waits for hosts; the
// first host's Iniciar shows the window. Without a session bus it runs on
// its own with the window shown.
//
// See Usage below for the options. Environment, for unattended runs and
// tests: QXD_PASSWORD fills the password box (it is never written
// anywhere); QXD_TIMER1_MS and QXD_TIMERHIST_MS replace the 30 s reconnect
// and 2 s historic intervals; QXD_TUNING is the tuning's default.
#include "app/client_core.h"
#include "app/tuning.h"
#include "automation/dbus_face.h"
#include "automation/qxdclientcls.h"

#include <QApplication>
#include <QDir>
#include <QSaveFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &c, 1);
}

int envInt(const char* name, int def) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : def;
}

// Ends the process, once everything sent on the bus (the reply to Release
// among it) has been written.
[[noreturn]] void endProgram(qxd::DBusFace& face, int code) {
    face.flush();
    std::fflush(nullptr);
    std::_Exit(code);
}

} // namespace

constexpr char Usage[] =
    "Usage: qxdataclient [--tuning=auto|off]\n"
    "       qxdataclient --regserver | --unregserver | --interfaces DIR | --help | --version\n"
    "The market-data client: it takes the bus name QXDataClient.QXDClientCLS and waits\n"
    "for hosts (without a session bus it shows its window and runs on its own).\n"
    "\n"
    "  --tuning=MODE     auto (default): latency tuning for fast feeds (polling while\n"
    "                    the feed is fast, a paced window, Qt's own dispatcher);\n"
    "                    off: a plain event loop. QXD_TUNING sets the default.\n"
    "  --regserver       write the D-Bus activation file for this program and exit\n"
    "  --unregserver     remove it and exit\n"
    "  --interfaces DIR  write the D-Bus interfaces as introspection XML into DIR and exit\n"
    "  --help            this text\n"
    "  --version         the program's version\n"
    "\n"
    "Exit status: 0 done, 1 failed (the bus name is taken, a file cannot be written),\n"
    "2 wrong usage.\n";

// Writes one file per interface, named after it.
int writeInterfaces(const QString& dir) {
    QDir().mkpath(dir);
    for (const qxd::InterfaceDescription& i : qxd::InterfaceDescriptions()) {
        QSaveFile f(dir + '/' + QString::fromLatin1(i.name) + QStringLiteral(".xml"));
        if (!f.open(QIODevice::WriteOnly) || f.write(i.xml) != i.xml.size() || !f.commit()) {
            std::fprintf(stderr, "qxdataclient: cannot write %s: %s\n",
                         qPrintable(f.fileName()), qPrintable(f.errorString()));
            return 1;
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    qxd::TuningMode tuning = qxd::TuningModeFromEnvironment();
    QByteArray registration;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("qxdataclient %s\n", QXD_VERSION);
            return 0;
        }
        if (a == "--interfaces" && i + 1 < argc)
            return writeInterfaces(QFile::decodeName(argv[i + 1]));
        if (a == "--regserver" || a == "--unregserver") {
            registration = a;
            continue;
        }
        if (a.startsWith("--tuning=")) {
            if (const auto m = qxd::ParseTuningMode(QByteArrayView(a).sliced(9))) {
                tuning = *m;
                continue;
            }
        }
        std::fprintf(stderr, "qxdataclient: unknown option %s\n%s", argv[i], Usage);
        return 2;
    }
    if (!registration.isEmpty()) {
        QCoreApplication core(argc, argv);
        QString err;
        const bool ok = registration == "--regserver"
                            ? qxd::WriteServiceFile(QCoreApplication::applicationFilePath(), &err)
                            : qxd::RemoveServiceFile(&err);
        if (!ok)
            std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(err));
        else
            std::printf("%s %s\n", registration == "--regserver" ? "Registered" : "Unregistered",
                        qPrintable(qxd::ServiceFilePath()));
        return ok ? 0 : 1;
    }
    // Before the application object exists.
    if (const QString w = qxd::Tuning::beforeApplication(tuning); !w.isEmpty())
        std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(w));

    // Without a display, run offscreen rather than fail.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("qxdataclient"));
    app.setQuitOnLastWindowClosed(false);

    // Ctrl-C and SIGTERM end the program through the unload step, so the
    // settings are written back and the feed is signed off.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        auto* n = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(n, &QSocketNotifier::activated, &app, [] {
            // Drained, or the notifier fires again at once. exit(), not
            // quit(): quit() asks the windows first, and the main window
            // refuses to close (it minimises instead).
            char buf[16];
            [[maybe_unused]] auto r = ::recv(g_signalPipe[0], buf, sizeof buf, MSG_DONTWAIT);
            QCoreApplication::exit(0);
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }

    qxd::ClientOptions options;
    options.timing.reconnectMs = envInt("QXD_TIMER1_MS", options.timing.reconnectMs);
    options.timing.schedulerMs = envInt("QXD_TIMERHIST_MS", options.timing.schedulerMs);
    options.tuning = tuning;
    qxd::ClientCore::setInstanceOptions(std::move(options));
    qxd::ClientCore* client = qxd::ClientCore::instance();
    client->controls.password = qgetenv("QXD_PASSWORD");

    qxd::DBusFace face;
    // The last release ends the program at once: no further event reaches
    // a host and no further byte of either socket is read.
    qxd::QXDClientCLS::setProgramEnd([&face] { endProgram(face, 0); });
    face.notice = [client](const QString& text) {
        client->controls.messageLine = text.toUtf8();
        std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(text));
    };
    QString err;
    if (!face.start(&err)) {
        std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(err));
        if (face.connected()) return 1; // the name is taken
        std::fprintf(stderr, "qxdataclient: running without hosts\n");
        const QString loadErr = client->showWindow();
        if (!loadErr.isEmpty()) std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(loadErr));
    }
    const int rc = app.exec();
    client->unloadWindow();
    endProgram(face, rc);
}
