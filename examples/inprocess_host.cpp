// A host that links the client library: subscribes the symbols given on the
// command line whenever the feed asks for them and prints every quote.
#include "automation/qxdclientcls.h"

#include <QApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QStringList symbols = app.arguments().mid(1);
    if (symbols.isEmpty()) symbols = {QStringLiteral("PETR4")};

    qxd::QXDClientCLS feed;
    QObject::connect(&feed, &qxd::QXDClientCLS::RequestAllSimbols, [&] {
        for (const QString& s : symbols) feed.AddSymbol(s.toLatin1());
    });
    QObject::connect(&feed, &qxd::QXDClientCLS::FeederReady, [&] {
        std::printf("%s last %.2f flag %d\n", feed.Simbolo.constData(), feed.Last, feed.Flag);
    });
    QObject::connect(&feed, &qxd::QXDClientCLS::EndDownload, [](const QByteArray& s, float ty) {
        std::printf("%s %g done\n", s.constData(), ty);
    });
    QObject::connect(&feed, &qxd::QXDClientCLS::clientStopped, &app, &QApplication::quit);
    const QString err = feed.Iniciar(QFile::encodeName(QDir::homePath() + "/qxdata"));
    if (!err.isEmpty()) std::fprintf(stderr, "%s\n", qPrintable(err));
    return app.exec();
}
