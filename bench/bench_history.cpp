// A historic download of one-minute bars, archive stored without
// compression (so the archive is as large as its series), from qxd-sim over
// loopback to the final file name, against a baseline of the same transfer
// bytes over a plain loopback socket into a file plus libarchive's
// extraction of the same archive.
//
//   bench_history [--quick]   history.archive_mb, history.seconds_100mb,
//                             history.raw_seconds_100mb, history.ratio_to_raw
#include "app/client_core.h"
#include "common.h"
#include "history/extract.h"
#include "sim/bars.h"
#include "sim/sim.h"
#include "sim/zip_writer.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace qxd;

namespace {

using bench::run;
using bench::spin;

// "own/others" CPU ms since `from`: this process's, the rest of the machine's.
QByteArray cpuMs(const bench::CpuSplit& from) {
    const bench::CpuSplit now = bench::cpuSplit();
    return QByteArray::number((now.self - from.self) / 1e6, 'f', 0) + "/" +
           QByteArray::number((now.others - from.others) / 1e6, 'f', 0);
}

struct Done : HandOffListener {
    int downloads = 0;
    void handOff(const HandOff& h) override { downloads += h.vType == KindDownload; }
};

// The transfer's bytes over a plain loopback socket into a file, plus the
// extraction of the archive (already in a file of its own) by libarchive.
double baseline(const QByteArray& transfer, const QByteArray& zip, const QString& dir,
                QByteArray& cpu) {
    sockaddr_in a;
    const int lfd = bench::listenLoopback(a);
    std::unique_ptr<QThread> sender(QThread::create([&] {
        const int fd = ::accept(lfd, nullptr, nullptr);
        for (qsizetype at = 0; at < transfer.size();) {
            const ssize_t n =
                ::send(fd, transfer.constData() + at, size_t(transfer.size() - at), 0);
            if (n <= 0) break;
            at += n;
        }
        ::close(fd);
    }));
    const QString archive = dir + "/raw.zip";
    QFile z(archive);
    if (z.open(QIODevice::WriteOnly)) z.write(zip);
    z.close();
    // A fresh file and folder each round: rewriting the last round's
    // would make the file system write them out at once, inside the timing.
    QFile::remove(dir + "/raw.bin");
    QDir(dir + "/raw").removeRecursively();
    ::sync();
    const bench::CpuSplit c0 = bench::cpuSplit();
    QElapsedTimer t;
    t.start();
    sender->start();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const int out =
        ::open(QFile::encodeName(dir + "/raw.bin").constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        if (::write(out, buf.data(), size_t(n)) != n) break;
    }
    ::close(out);
    ::close(fd);
    QDir().mkpath(dir + "/raw");
    const ExtractResult r = ExtractArchive(archive, dir + "/raw");
    const double s = t.nsecsElapsed() / 1e9;
    cpu = cpuMs(c0);
    sender->wait();
    ::close(lfd);
    if (r.code != ExtractResult::Ok)
        std::fprintf(stderr, "baseline: %s\n", qPrintable(r.description));
    return s;
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir dir;
    bench::clientEnvironment(dir.path());
    QApplication app(argc, argv);
    const bool quick = bench::quick(argc, argv);
    // 1990-01-02 onwards: some 2,000,000 bars (about 90 MB), a quarter of it quick.
    const double d1 = 32875, d2 = d1 + (quick ? 1650 : 6620);

    sim::Options o;
    o.feedPort = o.histPort = 0;
    o.verbose = false;
    o.storeArchives = true;
    QThread simThread;
    auto* hist = new sim::HistSim(o);
    const quint16 port = bench::startInThread(hist, simThread);

    QDir().mkpath(dir.path() + "/c/indataqx");
    ClientOptions co;
    co.settingsPath = dir.path() + "/QXDATA.INI";
    // The download list is polled by a timer (2 s by default); a 1 ms poll
    // keeps the wait for the next tick out of what is measured.
    co.timing.schedulerMs = 1;
    ClientCore c(std::move(co));
    c.ensureLoaded();
    c.controls.historicHost = "127.0.0.1";
    c.controls.historicPort = QByteArray::number(port);
    c.controls.userName = c.controls.password = "demo";
    c.handoff.Diretorio = QFile::encodeName(dir.path()) + "/c/";
    Done done;
    c.handoff.bind(&done);

    QByteArray cpu; // of the last round, either side's
    auto download = [&] {
        const int before = done.downloads;
        // Every timed round, the client's and the baseline's, starts with
        // the earlier rounds' files written out: their write-back (hundreds
        // of MB) would otherwise land in whichever round came next.
        ::sync();
        const bench::CpuSplit c0 = bench::cpuSplit();
        QElapsedTimer t;
        t.start();
        c.history.list.queue("PETR4", 1, d1, d2);
        if (!spin([&] { return done.downloads > before; }, 600000)) {
            std::fprintf(stderr, "bench_history: the download did not finish: %s\n",
                         c.controls.statusLine.constData());
            return -1.0;
        }
        const double s = t.nsecsElapsed() / 1e9;
        cpu = cpuMs(c0);
        return s;
    };
    // The simulator makes the archive once and reuses it. Then five
    // downloads and five baselines in turn, so both meet the machine of
    // the same seconds; the best of each counts. A round of either now and
    // then takes two to five times its usual time, in the extraction (the
    // same code in both) as much as in the transfer, and two slow rounds
    // in a row have been seen.
    download();
    const QByteArray series = sim::GenerateBars("PETR4", 1, d1, d2);
    const QByteArray zip = MakeZip({{sim::SeriesEntryName("demo", "PETR4", 1), series}}, true);
    const double mb = zip.size() / 1e6;
    const QByteArray transfer = sim::TransferFrames("#BPETR4,1", zip, o.chunkSize);
    double client = 1e9, raw = 1e9;
    QByteArray rounds, cpuRounds;
    constexpr int Rounds = 5;
    for (int i = 0; i < Rounds; ++i) {
        const double d = download();
        const QByteArray clientCpu = cpu;
        const double b = baseline(transfer, zip, dir.path(), cpu);
        const char* gap = i < Rounds - 1 ? " " : "";
        rounds +=
            QByteArray::number(d * 1000, 'f', 1) + "/" + QByteArray::number(b * 1000, 'f', 1) + gap;
        cpuRounds += "(" + clientCpu + ", " + cpu + ")" + gap;
        client = std::min(client, d);
        raw = std::min(raw, b);
    }
    // Each round's pair shows whether a slow best was the client or the
    // machine of that minute.
    std::printf("history: client/baseline in each round, whole archive: %s ms\n",
                rounds.constData());
    // A slow round whose own CPU time grew did more work or ran on a slower
    // CPU; one whose own CPU time did not, waited.
    std::printf("history: CPU in each round, client then baseline, this process/the rest of "
                "the machine: %s ms\n",
                cpuRounds.constData());
    QFile final(dir.path() + "/c/indataqx/PETR4.QX1M");
    if (final.size() != series.size())
        std::fprintf(stderr, "bench_history: the final file has %lld bytes, not %lld\n",
                     (long long) final.size(), (long long)series.size());
    bench::figure("history.archive_mb", mb, "MB");
    bench::figure("history.seconds_100mb", client * 100 / mb, "s");
    bench::figure("history.raw_seconds_100mb", raw * 100 / mb,
                  "s (baseline: socket, file, libarchive)");
    bench::figure("history.ratio_to_raw", client / raw, "");

    bench::stopInThread(hist, simThread);
    return 0;
}
