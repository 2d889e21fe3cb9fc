#include "app/qxdclient.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &c, 1);
}

} // namespace

int main(int argc, char** argv) {
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
        QObject::connect(n, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }

    qxd::QXDClient* client = qxd::QXDClient::instance();
    const QString err = client->Show();
    if (!err.isEmpty()) std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(err));
    const int rc = app.exec();
    client->Unload();
    qxd::QXDClient::destroyInstance();
    return rc;
}
