#include "wire/decode.h"

#include "wire/frame.h"
#include "wire/pack.h"

namespace qxd::wire {

QByteArray Printable(const QByteArray& m, bool raw) {
    if (raw && m.startsWith('*')) {
        const qsizetype p = m.indexOf(',');
        const qsizetype q = p < 0 ? -1 : m.indexOf(',', p + 1);
        if (q >= 0)
            return m.left(q + 1) + "<" + QByteArray::number(m.size() - q - 1) +
                   " bytes of archive>";
    }
    QByteArray out;
    for (char c : m) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 32 && u < 127 && c != '\\')
            out += c;
        else
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
    }
    return out;
}

namespace {

Decoded bad(qsizetype at, const char* what, qsizetype n) {
    return {at, false, QByteArray(what) + " (" + QByteArray::number(n) + " bytes)", {}};
}

QList<Decoded> realtime(QByteArrayView b, bool packed) {
    QList<Decoded> out;
    qsizetype pos = 0;
    while (pos < b.size()) {
        const qsizetype p = b.indexOf(OpeningMark, pos);
        if (p < 0) {
            out.append(bad(pos, "bytes without an opening mark", b.size() - pos));
            break;
        }
        if (p > pos) out.append(bad(pos, "bytes without an opening mark", p - pos));
        const qsizetype t = b.indexOf(ClosingMark, p + 1);
        if (t < 0) {
            out.append(bad(p, "incomplete frame at the end", b.size() - p));
            break;
        }
        const QByteArrayView inner = b.sliced(p + 1, t - p - 1);
        const FrameHead h = ReadFrameHead(inner);
        if (h.valid && inner.size() == h.length + h.d + 1) {
            const QByteArray m = packed ? DeCompress(inner.last(h.length))
                                        : inner.last(h.length).toByteArray();
            out.append({p, true, Printable(m, false), m});
        }
        else
            out.append(bad(p, "malformed frame", t - p + 1));
        pos = t + 1;
    }
    return out;
}

QList<Decoded> historic(QByteArrayView b, bool packed) {
    QList<Decoded> out;
    bool raw = false;
    qsizetype pos = 0;
    auto resync = [&](const char* what, qsizetype from) {
        qsizetype next = b.indexOf(OpeningMark, from + 1);
        if (next < 0) next = b.size();
        out.append(bad(from, what, next - from));
        pos = next;
    };
    while (pos < b.size()) {
        if (b[pos] != OpeningMark) {
            qsizetype next = b.indexOf(OpeningMark, pos);
            if (next < 0) next = b.size();
            out.append(bad(pos, "bytes without an opening mark", next - pos));
            pos = next;
            continue;
        }
        const FrameHead h = ReadFrameHead(b.sliced(pos + 1));
        const qsizetype close = pos + h.length + h.d + 2;
        if (!h.whole || (h.valid && close >= b.size())) {
            out.append(bad(pos, "incomplete frame at the end", b.size() - pos));
            break;
        }
        if (!h.valid || b[close] != ClosingMark) {
            resync("malformed frame", pos);
            continue;
        }
        const QByteArray payload = b.sliced(pos + h.d + 2, h.length).toByteArray();
        const QByteArray m = raw || !packed ? payload : DeCompress(payload);
        out.append({pos, true, Printable(m, raw), m});
        // The unpacking mode follows the transfer markers, as the client's does.
        if (m.size() > 2 && m[0] == '#' && m[1] == 'B') {
            if (m[2] == '0' || m[2] == '1')
                raw = false;
            else if (m.contains(','))
                raw = !raw;
        }
        pos = close + 1;
    }
    return out;
}

} // namespace

QList<Decoded> DecodeStream(QByteArrayView bytes, bool hist, bool packed) {
    return hist ? historic(bytes, packed) : realtime(bytes, packed);
}

} // namespace qxd::wire
