#include "wire/frame.h"

#include "wire/convert.h"

#include <algorithm>
#include <cstring>

namespace qxd {

QByteArray ConverteToSend(QByteArrayView s) {
    const QByteArray ls = FormatZero(static_cast<std::int64_t>(s.size()));
    const QByteArray d = FormatZero(static_cast<std::int64_t>(ls.size()));
    QByteArray out;
    out.reserve(s.size() + ls.size() + d.size() + 2);
    out.append(OpeningMark).append(d).append(ls).append(s).append(ClosingMark);
    return out;
}

QByteArray TrueTrim(QByteArrayView s) {
    QByteArray out;
    out.reserve(s.size());
    for (char c : s)
        if (c != ' ' && c != '\0') out.append(c);
    return out;
}

FrameHead ReadFrameHeadSlow(QByteArrayView s) {
    FrameHead h;
    if (s.isEmpty()) {
        h.whole = true;
        h.valid = true;
        return h;
    }
    // A single byte reads as 0..9, so the conversion always succeeds.
    const char c = s[0];
    h.d = c >= '0' && c <= '9' ? c - '0' : ToInt32(Val(s.first(1))).value_or(0);
    const qsizetype avail = std::min<qsizetype>(h.d, s.size() - 1);
    h.whole = avail == h.d;
    const auto v = ToInt16(Val(s.sliced(1, avail)));
    h.valid = v && *v >= 0;
    h.length = h.valid ? *v : 0;
    return h;
}

// ---------------------------------------------------------------------------
// Real-time

namespace {
// Longest part between the marks that can pass the length check.
constexpr qsizetype MaxInner = MaxFrame - 2;
} // namespace

void FrameExtractor::append(QByteArrayView in) {
    if (in.isEmpty()) return; // keeps the last payload view valid
    if (head_ == buf_.size())
        buf_.resize(0);
    else if (head_ > 0)
        buf_.remove(0, head_);
    head_ = 0;
    buf_.append(in.data(), in.size());
}

QByteArrayView FrameExtractor::extract(QByteArrayView in, qsizetype& left) {
    left = 0;
    if (discarding_) {
        // Still inside a frame too long to be valid: everything up to and
        // including its closing mark goes, and what follows is kept.
        const qsizetype t = in.indexOf(ClosingMark);
        if (t < 0) return {};
        discarding_ = false;
        buf_.resize(0);
        head_ = 0;
        buf_.append(in.data() + t + 1, in.size() - t - 1);
        left = buf_.size();
        return {};
    }
    append(in);
    const QByteArrayView b = buffered();
    // Almost always the buffer starts with the frame: no search then.
    const qsizetype p = !b.isEmpty() && b[0] == OpeningMark ? 0 : b.indexOf(OpeningMark);
    if (p < 0) {
        buf_.clear();
        head_ = 0;
        return {};
    }
    const qsizetype n = b.size();
    if (n < 3) return {};
    const void* tm = std::memchr(b.data() + p + 1, ClosingMark, std::size_t(n - p - 1));
    const qsizetype t = tm ? static_cast<const char*>(tm) - b.data() : -1;
    if (t < 0) {
        if (n - p - 1 > MaxInner) {
            buf_.clear();
            head_ = 0;
            discarding_ = true;
        }
        return {};
    }
    if (t == 1) {
        // The buffer starts with "`~": the two bytes go and the loop ends
        // for this arrival; what follows waits for the next one. Only where
        // that would leave more than the longest frame waiting (a stream of
        // such pairs) is the rest reported, so the buffer stays bounded.
        head_ += 2;
        const qsizetype rest = buf_.size() - head_;
        left = rest > MaxFrame ? rest : 0;
        return {};
    }
    const QByteArrayView inner = b.sliced(p + 1, t - p - 1);
    head_ += t + 1;
    left = buf_.size() - head_;
    const FrameHead h = ReadFrameHead(inner);
    if (!h.valid || inner.size() != h.length + h.d + 1) return {};
    return inner.last(h.length);
}

// ---------------------------------------------------------------------------
// Historic

char HistFrameExtractor::at(qsizetype i) const {
    return i < ownLen() ? own_[head_ + i] : chunk_[at_ + i - ownLen()];
}

qsizetype HistFrameExtractor::indexOf(char c, qsizetype from) const {
    const qsizetype own = ownLen();
    if (from < own) {
        const qsizetype p = QByteArrayView(own_).sliced(head_).indexOf(c, from);
        if (p >= 0) return p;
        from = own;
    }
    const qsizetype p = QByteArrayView(chunk_).sliced(at_).indexOf(c, from - own);
    return p < 0 ? -1 : own + p;
}

void HistFrameExtractor::consume(qsizetype k) {
    const qsizetype fromOwn = std::min(k, ownLen());
    head_ += fromOwn;
    at_ += k - fromOwn;
    if (ownLen() == 0) {
        own_.resize(0); // keeps its memory, and the payload just cut in it
        head_ = 0;
    }
    // The chunk stays referenced while used up: the payload may lie in it.
}

// The first k bytes (k <= size()) in one run: the missing part of a frame
// that straddles the two runs is copied behind the earlier chunk's bytes.
void HistFrameExtractor::contiguous(qsizetype k) {
    const qsizetype own = ownLen();
    if (own == 0 || own >= k) return;
    own_.append(chunk_.constData() + at_, k - own);
    at_ += k - own;
}

// The rest of the chunk moves into the buffer: the caller may let the chunk go.
void HistFrameExtractor::internalize() {
    if (chunkLen() == 0) return;
    if (head_ > 0) {
        own_.remove(0, head_);
        head_ = 0;
    }
    own_.append(chunk_.constData() + at_, chunkLen());
    chunk_ = QByteArray();
    at_ = 0;
}

void HistFrameExtractor::clear() {
    own_.clear();
    head_ = 0;
    chunk_ = QByteArray();
    at_ = 0;
}

QByteArrayView HistFrameExtractor::extract(const QByteArray& chunk, qsizetype& left) {
    left = 0;
    if (!chunk.isEmpty()) {
        internalize(); // bytes of an earlier chunk keep their place in front
        chunk_ = chunk;
        at_ = 0;
    }
    const qsizetype n = size();
    if (indexOf(OpeningMark, 0) < 0) {
        clear();
        return {};
    }
    if (n < 4) {
        internalize();
        return {};
    }
    // The head: a byte read as the mark, the count digit, at most nine digits.
    contiguous(std::min<qsizetype>(n, 11));
    const FrameHead h = ReadFrameHead(buffered().first(std::min<qsizetype>(n, 11)).sliced(1));
    if (!h.whole) {
        internalize();
        return {};
    }
    // 0-based index where the closing mark must stand.
    const qsizetype close = h.length + h.d + 2;
    if (h.valid && close >= n) {
        internalize(); // an incomplete frame waits in the buffer
        return {};
    }
    if (!h.valid || at(close) != ClosingMark) {
        // The front frame can never complete: drop to the next opening mark
        // and let the caller come back for the rest.
        const qsizetype next = indexOf(OpeningMark, 1);
        if (next < 0) {
            clear();
            return {};
        }
        consume(next);
        if (ownLen() > 0) internalize();
        left = size();
        return {};
    }
    // Rare: more of an earlier chunk behind this frame; keep one run.
    if (ownLen() > close + 1) internalize();
    contiguous(close + 1);
    const QByteArrayView payload = buffered().sliced(h.d + 2, h.length);
    consume(close + 1);
    left = size();
    return payload;
}

} // namespace qxd
