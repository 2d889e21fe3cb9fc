// qxdataclient: the client as a program. It takes the bus name
// QXDataClient.QXDClientCLS on the session bus and waits for hosts; the
// first host's Iniciar shows the window. Without a session bus it runs on
// its own with the window shown.
//
//   --regserver     write the D-Bus activation file and exit
//   --unregserver   remove it and exit
//
// Environment, for unattended runs and tests: QXD_PASSWORD fills the
// password box (it is never written anywhere); QXD_TIMER1_MS and
// QXD_TIMERHIST_MS replace the 30 s reconnect and 2 s historic intervals.
#include "app/client_core.h"
#include "app/time_slice.h"
#include "automation/dbus_face.h"
#include "automation/qxdclientcls.h"

#include <QApplication>
#include <QDBusConnectionInterface>
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

// Ends the process. A round trip to the bus daemon first, so that every
// message this program sent before (the reply to Release among them) has
// left.
[[noreturn]] void endProgram(int code) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) bus.interface()->serviceOwner(QStringLiteral("org.freedesktop.DBus"));
    std::fflush(nullptr);
    std::_Exit(code);
}

} // namespace

int main(int argc, char** argv) {
    // A short time slice, asked for before any thread starts so that Qt's
    // threads (the bus connection's among them) inherit it. QXD_SLICE_US
    // replaces it; 0 keeps the kernel's.
    {
        bool set = false;
        const int us = qEnvironmentVariableIntValue("QXD_SLICE_US", &set);
        const qxd::SliceResult r = qxd::RequestTimeSlice(set ? us : qxd::ShortSliceUs);
        if (!r.error.isEmpty())
            std::fprintf(stderr, "qxdataclient: the short time slice was refused: %s\n",
                         qPrintable(r.error));
    }
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a == "--regserver" || a == "--unregserver") {
            QCoreApplication core(argc, argv);
            QString err;
            const bool ok =
                a == "--regserver"
                    ? qxd::WriteServiceFile(QCoreApplication::applicationFilePath(), &err)
                    : qxd::RemoveServiceFile(&err);
            if (!ok)
                std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(err));
            else
                std::printf("%s %s\n", a == "--regserver" ? "Registered" : "Unregistered",
                            qPrintable(qxd::ServiceFilePath()));
            return ok ? 0 : 1;
        }
        std::fprintf(stderr, "qxdataclient: unknown option %s (use --regserver or --unregserver)\n",
                     argv[i]);
        return 2;
    }

    // Without a display, run offscreen rather than fail.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The receive loop turns the event loop once per frame; Qt's own
    // dispatcher does that turn in about half the instructions of the glib
    // one. A QT_NO_GLIB already in the environment is left as it is.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
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

    qxd::ClientTiming timing;
    timing.reconnectMs = envInt("QXD_TIMER1_MS", timing.reconnectMs);
    timing.schedulerMs = envInt("QXD_TIMERHIST_MS", timing.schedulerMs);
    qxd::ClientCore::setInstanceTiming(timing);
    qxd::ClientCore* client = qxd::ClientCore::instance();
    client->controls.password = qgetenv("QXD_PASSWORD");

    // The last release ends the program at once: no further event reaches
    // a host and no further byte of either socket is read.
    qxd::QXDClientCLS::setProgramEnd([] { endProgram(0); });

    qxd::DBusFace face(QDBusConnection::sessionBus());
    face.signalSender().notice = [client](const QString& text) {
        client->controls.messageLine = text.toUtf8();
        std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(text));
    };
    QString err;
    if (!face.start(&err)) {
        std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(err));
        if (QDBusConnection::sessionBus().isConnected()) return 1; // the name is taken
        std::fprintf(stderr, "qxdataclient: running without hosts\n");
        const QString loadErr = client->showWindow();
        if (!loadErr.isEmpty()) std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(loadErr));
    }
    const int rc = app.exec();
    client->unloadWindow();
    endProgram(rc);
}
