// Both frame extractors, driven as the receive loops drive them: a chunk is
// appended, then frames are cut one per call until nothing is left. The
// chunking comes from the input, so every split of a stream gets tried.
#include "check.h"
#include "wire/frame.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
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
    std::vector<QByteArray> chunked, whole, histOut, plainOut;
    QByteArray stream;
    while (p.remaining_bytes() > 0) {
        const size_t n = p.ConsumeIntegralInRange<size_t>(1, 5000);
        const std::string chunk = p.ConsumeBytesAsString(n);
        if (std::getenv("FUZZ_VERBOSE"))
            std::fprintf(
                stderr, "chunk %s\n",
                QByteArray(chunk.data(), qsizetype(chunk.size())).toPercentEncoding().constData());
        stream.append(chunk.data(), qsizetype(chunk.size()));
        cut(live, QByteArrayView(chunk.data(), qsizetype(chunk.size())), chunked);
        cut(hist, QByteArrayView(chunk.data(), qsizetype(chunk.size())), histOut);
        cut(plain, QByteArrayView(chunk.data(), qsizetype(chunk.size())), plainOut);
        CHECK(hist.buffered() == plain.buffered());
    }
    // The real-time extractor cuts the same messages however the stream is
    // split: compare with the stream fed in one piece.
    cut(liveWhole, stream, whole);
    if (chunked != whole && std::getenv("FUZZ_VERBOSE")) {
        for (const auto* v : {&chunked, &whole}) {
            std::fprintf(stderr, "--- %zu messages\n", v->size());
            for (const QByteArray& m : *v)
                std::fprintf(stderr, "[%s]\n", m.toPercentEncoding().constData());
        }
    }
    CHECK(chunked == whole);
    CHECK(histOut == plainOut);
    // The in/out form agrees with the view form.
    FrameExtractor copy;
    QByteArray s = stream;
    std::vector<QByteArray> inout;
    for (;;) {
        const QByteArray m = copy.ExtractFrame(s);
        if (!m.isEmpty()) inout.push_back(m);
        if (s.isEmpty()) break;
        s.clear();
    }
    CHECK(inout == whole);
    return 0;
}
