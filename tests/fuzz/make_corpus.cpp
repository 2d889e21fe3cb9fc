// Writes the fuzzers' seed corpus from the simulator's own traffic: the raw
// bytes of a feed session and of a download, their messages unpacked, the
// archive alone and a settings file. Usage: make_corpus <corpus folder>.
#include "app/profile.h"
#include "sim/bars.h"
#include "sim/sim.h"
#include "sim/zip_writer.h"
#include "wire/pack.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTest>

using namespace qxd;

namespace {

QString out;

void put(const QString& target, const QString& name, const QByteArray& bytes) {
    QDir().mkpath(out + "/" + target);
    QFile f(out + "/" + target + "/" + name);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(bytes);
}

QByteArray send(const QByteArray& m) {
    return ConverteToSend(m);
}

// Talks to a simulator port: logon, then `requests`; returns what came back
// within `ms`.
QByteArray session(quint16 port, const QList<QByteArray>& requests, int ms) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000)) return {};
    for (const QByteArray& m : QList<QByteArray>{"!demo", "^demo", "&1"} + requests)
        s.write(send(m));
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QTest::qWait(10);
        got += s.readAll();
    }
    return got;
}

// The messages of a real-time stream, unpacked, one per line.
QByteArray messages(const QByteArray& stream, bool hist) {
    QByteArray lines;
    FrameExtractor live;
    HistFrameExtractor old;
    qsizetype left = 0;
    QByteArrayView in = stream;
    for (;;) {
        const QByteArrayView p = hist ? old.extract(in, left) : live.extract(in, left);
        in = {};
        if (!p.isEmpty()) lines += (p.startsWith('*') ? p.toByteArray() : DeCompress(p)) + '\n';
        if (left == 0) break;
    }
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) return 2;
    out = QString::fromLocal8Bit(argv[1]);
    sim::Options o;
    o.feedPort = o.histPort = 0;
    o.rate = 2000;
    o.noteEvery = 1;
    o.verbose = false;
    o.chunkSize = 600;
    sim::FeedSim feed(o);
    sim::HistSim hist(o);
    QString err;
    if (!feed.listen(&err) || !hist.listen(&err)) return 1;

    const QByteArray live = session(feed.port(), {"#APETR4", "#AVALE3", "#CPETR4", "#CNONE"}, 300);
    put("frame", "feed", live.left(8000));
    put("feed", "stream", QByteArray(2, '\0') + live.left(4000));
    put("feed", "messages",
        QByteArray(1, '\0') + QByteArray(1, '\1') + messages(live, false).left(4000));
    put("pack", "quote", live.left(200));

    const QByteArray down = session(hist.port(), {"#FPETR4,&I-1,&D120040102,&D220040301,"}, 300);
    put("frame", "hist", down.left(8000));
    put("hist", "stream", QByteArray(2, '\0') + down.left(8000));
    put("hist", "messages", QByteArray(1, '\1') + messages(down, true).left(8000));

    put("archive", "bars.zip",
        MakeZip({{sim::SeriesEntryName("demo", "PETR4", -1),
                  sim::GenerateBars("PETR4", -1, 37988, 38020)},
                 {"sub/", {}, ZipEntry::Dir}}));
    ProfileText ini;
    ini.write("QXDATA", "IP", "127.0.0.1");
    ini.write("QXDATA", "PORT", "1400");
    ini.write("QXHIST", "IP", "127.0.0.1");
    ini.write("QXHIST", "PORT", "11000");
    ini.write("QXDATA", "UserName", "demo");
    ini.write("QXDATA", "Reconnect", "1");
    put("profile", "QXDATA.INI",
        QByteArray("\4QXDATA\2IP\x09"
                   "10.0.0.1") +
            ini.content());
    return 0;
}
