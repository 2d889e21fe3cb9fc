#include "wire/pack.h"

#include <array>
#include <cstring>

namespace qxd {

namespace {

// For each byte value: how many symbols it carries and which.
struct Unpacked {
    char sym[2];
    unsigned char count;
};

constexpr std::array<Unpacked, 256> makeTable() {
    std::array<Unpacked, 256> t{};
    for (int b = 0; b < 256; ++b) {
        Unpacked u{{0, 0}, 0};
        const int hi = b >> 4, lo = b & 15;
        if (hi < 15) u.sym[u.count++] = PackAlphabet[hi];
        if (lo < 15) u.sym[u.count++] = PackAlphabet[lo];
        t[b] = u;
    }
    return t;
}
constexpr auto kUnpack = makeTable();

constexpr std::array<signed char, 256> makeCodes() {
    std::array<signed char, 256> c{};
    for (auto& v : c) v = -1;
    for (int i = 0; i < 15; ++i)
        c[static_cast<unsigned char>(PackAlphabet[i])] = static_cast<signed char>(i);
    return c;
}
constexpr auto kCode = makeCodes();

} // namespace

void DeCompress(QByteArrayView s, QByteArray& out) {
    const void* cm = s.isEmpty() ? nullptr : std::memchr(s.data(), ',', std::size_t(s.size()));
    const qsizetype comma = cm ? static_cast<const char*>(cm) - s.data() : -1;
    if (comma < 0) {
        out.resize(s.size());
        if (!s.isEmpty()) std::memcpy(out.data(), s.data(), s.size());
        return;
    }
    const qsizetype head = comma + 1;
    const qsizetype body = s.size() - head;
    out.resize(head + 2 * body);
    char* o = out.data();
    std::memcpy(o, s.data(), head);
    char* w = o + head;
    const auto* in = reinterpret_cast<const unsigned char*>(s.data()) + head;
    for (qsizetype i = 0; i < body; ++i) {
        const Unpacked& u = kUnpack[in[i]];
        w[0] = u.sym[0];
        w[1] = u.sym[1];
        w += u.count;
    }
    out.resize(w - o);
}

QByteArray DeCompress(QByteArrayView s) {
    QByteArray out;
    DeCompress(s, out);
    return out;
}

QByteArray Compress(QByteArrayView s) {
    const qsizetype comma = s.indexOf(',');
    if (comma < 0) return s.toByteArray();
    QByteArray out;
    out.reserve(comma + 1 + (s.size() - comma) / 2 + 1);
    out.append(s.first(comma + 1));
    bool pending = false;
    unsigned char byte = 0;
    for (qsizetype i = comma + 1; i < s.size(); ++i) {
        const int k = kCode[static_cast<unsigned char>(s[i])];
        if (k < 0) continue;
        if (!pending) {
            byte = static_cast<unsigned char>(k << 4);
            pending = true;
        } else {
            out.append(static_cast<char>(byte | k));
            pending = false;
        }
    }
    if (pending) out.append(static_cast<char>(byte | 15));
    return out;
}

} // namespace qxd
