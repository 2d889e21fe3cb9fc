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
        stream += qxd::ConverteToSend(qxd::Compress(bench::RandomQuote(rng, syms[rng.bounded(7)])));
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
