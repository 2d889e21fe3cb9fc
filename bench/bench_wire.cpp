// wire.msgs_per_s: ExtractFrame + DeCompress over a stream of packed trades
// and complete quotes in 2000-byte chunks, against a loop that only finds
// each frame's closing mark in the same chunks.
#include "common.h"
#include "wire/frame.h"
#include "wire/pack.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstring>

int main(int argc, char** argv) {
    const bool quick = bench::quick(argc, argv);
    QRandomGenerator rng(3);
    QByteArray stream;
    const char* syms[] = {"PETR4", "VALE3", "ITUB4", "BBDC4", "ABEV3", "WINZ24", "DOLF25"};
    int messages = 0;
    while (stream.size() < (8 << 20)) {
        char b[256];
        const char* s = syms[rng.bounded(7)];
        const double p = 10 + rng.bounded(90.0);
        int n;
        if (rng.bounded(10) < 7)
            n = std::snprintf(b, sizeof b, "$%s,%.2f,%d,%.2f,%d,%d", s, p,
                              100 * (1 + rng.bounded(50)), rng.bounded(2.0) - 1,
                              rng.bounded(1000000), rng.bounded(30000));
        else
            n = std::snprintf(b, sizeof b,
                              "{%s,%.2f,%.2f,%.2f,%.2f,%d,%d,%d,%.2f,%d,%.2f,%d,%.2f,%.2f", s, p,
                              p + 1, p - 1, p, 100, rng.bounded(1000000), 1000, p + .01, 500,
                              p - .01, 400, 0.5, p - 0.3);
        stream += qxd::ConverteToSend(qxd::Compress(QByteArray(b, n)));
        ++messages;
    }
    QList<QByteArrayView> chunks;
    for (qsizetype at = 0; at < stream.size(); at += 2000)
        chunks.append(
            QByteArrayView(stream).sliced(at, std::min<qsizetype>(2000, stream.size() - at)));

    const int rounds = quick ? 3 : 15;
    double best = 0, bestScan = 0;
    std::size_t sink = 0;
    for (int r = 0; r < rounds; ++r) {
        // The client's path.
        QElapsedTimer t;
        t.start();
        qxd::FrameExtractor ex;
        QByteArray msg;
        long got = 0;
        for (QByteArrayView c : chunks) {
            qsizetype left = 0;
            QByteArrayView in = c;
            do {
                const QByteArrayView p = ex.extract(in, left);
                in = {};
                qxd::DeCompress(p, msg);
                got += !msg.isEmpty();
                sink += std::size_t(msg.size());
            } while (left > 0);
        }
        best = std::max(best, got / (t.nsecsElapsed() / 1e9));
        // The baseline: only the closing marks.
        t.restart();
        long marks = 0;
        for (QByteArrayView c : chunks) {
            const char* p = c.data();
            const char* end = p + c.size();
            while (const void* m = std::memchr(p, '~', std::size_t(end - p))) {
                ++marks;
                p = static_cast<const char*>(m) + 1;
            }
        }
        bestScan = std::max(bestScan, marks / (t.nsecsElapsed() / 1e9));
        if (got != messages)
            std::fprintf(stderr, "bench_wire: %ld of %d messages\n", got, messages);
    }
    bench::figure("wire.msgs_per_s", best, "msgs/s");
    bench::figure("wire.scan_msgs_per_s", bestScan,
                  "msgs/s (baseline: memchr for the closing mark)");
    bench::figure("wire.ratio_to_scan", best / bestScan, "");
    return sink == 0;
}
