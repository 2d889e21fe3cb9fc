// Both frame extractors, driven as the receive loops drive them: a chunk is
// appended, then frames are cut one per call until nothing is left. The
// chunking comes from the input, so every split of a stream gets tried.
#include "check.h"
#include "wire/frame.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

using namespace qxd;

namespace {

template <class Ex>
void cut(Ex& ex, QByteArrayView chunk, std::vector<QByteArray>& out) {
    qsizetype left = 0;
    QByteArrayView p = ex.extract(chunk, left);
    for (;;) {
        CHECK(p.size() <= MaxPayload);
        if (!p.isEmpty()) out.push_back(p.toByteArray());
        if (left == 0) break;
        CHECK(left == ex.buffered().size());
        p = ex.extract(QByteArrayView(), left);
    }
    // Never more than one incomplete frame beyond the last chunk.
    CHECK(ex.buffered().size() <= MaxFrame + chunk.size());
}

// Empty arrivals until the buffer stops changing: what a loop that stopped
// early leaves waiting comes out with the next arrival.
template <class Ex>
void finish(Ex& ex, std::vector<QByteArray>& out) {
    for (qsizetype before = -1; ex.buffered().size() != before;) {
        before = ex.buffered().size();
        cut(ex, QByteArrayView(), out);
    }
}

// The real-time extractor as the protocol reads: every chunk appended to one
// buffer (bounded the same way), frames cut from it.
struct PlainLive {
    QByteArray buf, last;
    bool discarding = false;
    QByteArrayView buffered() const { return buf; }
    QByteArrayView extract(QByteArrayView in, qsizetype& left) {
        left = 0;
        if (discarding) {
            const qsizetype t = in.indexOf(ClosingMark);
            if (t < 0) return {};
            discarding = false;
            buf = in.sliced(t + 1).toByteArray();
            left = buf.size();
            return {};
        }
        buf.append(in);
        const qsizetype p = buf.indexOf(OpeningMark);
        if (p < 0) {
            buf.clear();
            return {};
        }
        if (buf.size() < 3) return {};
        const qsizetype t = buf.indexOf(ClosingMark, p + 1);
        if (t < 0) {
            if (buf.size() - p - 1 > MaxFrame - 2) {
                buf.clear();
                discarding = true;
            }
            return {};
        }
        if (t == 1) {
            // The loop stops here, unless that would keep more than a frame.
            buf.remove(0, 2);
            left = buf.size() > MaxFrame ? buf.size() : 0;
            return {};
        }
        const QByteArray inner = buf.mid(p + 1, t - p - 1);
        buf.remove(0, t + 1);
        left = buf.size();
        const FrameHead h = ReadFrameHead(inner);
        if (!h.valid || inner.size() != h.length + h.d + 1) return {};
        last = inner.right(h.length);
        return last;
    }
};

// The historic extractor as the protocol reads: every chunk appended to one
// buffer, frames cut from its front. The oracle for the one that cuts frames
// straight out of the chunk.
struct PlainHist {
    QByteArray buf, last;
    QByteArrayView buffered() const { return buf; }
    QByteArrayView extract(QByteArrayView in, qsizetype& left) {
        left = 0;
        buf.append(in);
        if (!buf.contains(OpeningMark)) {
            buf.clear();
            return {};
        }
        if (buf.size() < 4) return {};
        const FrameHead h = ReadFrameHead(QByteArrayView(buf).sliced(1));
        if (!h.whole) return {};
        const qsizetype close = h.length + h.d + 2;
        if (h.valid && close >= buf.size()) return {};
        if (!h.valid || buf[close] != ClosingMark) {
            const qsizetype next = buf.indexOf(OpeningMark, 1);
            if (next < 0) {
                buf.clear();
                return {};
            }
            buf.remove(0, next);
            left = buf.size();
            return {};
        }
        last = buf.mid(h.d + 2, h.length);
        buf.remove(0, close + 1);
        left = buf.size();
        return last;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider p(data, size);
    FrameExtractor live, liveWhole;
    HistFrameExtractor hist;
    PlainHist plain;
    PlainLive plainLive;
    std::vector<QByteArray> chunked, whole, histOut, plainOut, plainLiveOut;
    QByteArray stream;
    while (p.remaining_bytes() > 0) {
        const size_t n = p.ConsumeIntegralInRange<size_t>(1, 5000);
        const std::string chunk = p.ConsumeBytesAsString(n);
        stream.append(chunk.data(), qsizetype(chunk.size()));
        cut(live, QByteArrayView(chunk.data(), qsizetype(chunk.size())), chunked);
        cut(hist, QByteArrayView(chunk.data(), qsizetype(chunk.size())), histOut);
        cut(plain, QByteArrayView(chunk.data(), qsizetype(chunk.size())), plainOut);
        cut(plainLive, QByteArrayView(chunk.data(), qsizetype(chunk.size())), plainLiveOut);
        CHECK(live.buffered() == plainLive.buffered());
        CHECK(hist.buffered() == plain.buffered());
    }
    // The real-time extractor cuts the same messages however the stream is
    // split: compare with the stream fed in one piece.
    finish(live, chunked);
    finish(plainLive, plainLiveOut);
    cut(liveWhole, stream, whole);
    finish(liveWhole, whole);
    CHECK(chunked == whole);
    CHECK(histOut == plainOut);
    CHECK(chunked == plainLiveOut);
    return 0;
}
