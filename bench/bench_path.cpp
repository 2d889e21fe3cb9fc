// The client's quote path without sockets: packed trades and complete
// quotes arrive through a fake socket in 1000-byte chunks and go through the
// receive loop (with its yield), dispatcher, records and relay to an
// in-process host. Prints path.ns_per_msg; under callgrind, run it with
// --messages 0 and --messages N and divide the difference by N to get the
// instructions a message costs.
//
//   bench_path [--quick] [--messages N]
#include "app/client_core.h"
#include "automation/qxdclientcls.h"
#include "common.h"
#include "support/fake_socket.h"
#include "wire/pack.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>

using namespace qxd;

int main(int argc, char** argv) {
    QTemporaryDir dir;
    bench::clientEnvironment(dir.path());
    QApplication app(argc, argv);
    int messages = bench::quick(argc, argv) ? 100000 : 400000;
    for (int i = 1; i + 1 < argc; ++i)
        if (QByteArray(argv[i]) == "--messages") messages = QByteArray(argv[i + 1]).toInt();

    const char* syms[] = {"PETR4", "VALE3", "ITUB4", "BBDC4", "ABEV3"};
    QRandomGenerator rng(5);
    QList<QByteArray> frames;
    for (int i = 0; i < 1000; ++i) {
        frames.append(ConverteToSend(Compress(bench::RandomQuote(rng, syms[rng.bounded(5)]))));
    }
    QByteArray stream;
    for (int i = 0; i < messages; ++i) stream += frames[i % frames.size()];

    auto* sock = new FakeSocket;
    ClientOptions o;
    o.settingsPath = dir.path() + "/QXDATA.INI";
    o.feed.reset(sock);
    ClientCore::setInstanceOptions(std::move(o));
    QXDClientCLS host;
    host.Iniciar(QFile::encodeName(dir.path()));
    ClientCore& w = *ClientCore::instance();
    sock->state = SocketComponent::Open;
    w.feed.dispatch("#L"); // logged on, without the dialogue
    for (const char* s : syms) host.AddSymbol(s);
    std::int64_t got = 0;
    QObject::connect(&host, &QXDClientCLS::FeederReady, [&] { ++got; });

    QElapsedTimer t;
    t.start();
    for (qsizetype at = 0; at < stream.size(); at += 1000) sock->arrive(stream.mid(at, 1000));
    const double ns = double(t.nsecsElapsed());
    if (messages > 0) {
        bench::figure("path.ns_per_msg", ns / messages, "ns");
        std::fprintf(stderr, "path: %d messages, %lld handed to the host\n", messages,
                     (long long)got);
    }
    return 0;
}
