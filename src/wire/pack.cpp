#include "wire/pack.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The two symbols of a byte whose nibbles both carry one, as they lie in
// memory (first symbol in the low byte); 0 for a byte with a nibble 15.
constexpr std::array<std::uint16_t, 256> makePairs() {
    std::array<std::uint16_t, 256> t{};
    for (int b = 0; b < 256; ++b)
        if (kUnpack[b].count == 2)
            t[b] = static_cast<std::uint16_t>(static_cast<unsigned char>(kUnpack[b].sym[0]) |
                                              static_cast<unsigned char>(kUnpack[b].sym[1]) << 8);
    return t;
}
constexpr auto kPairs = makePairs();

constexpr std::array<signed char, 256> makeCodes() {
    std::array<signed char, 256> c{};
    for (auto& v : c) v = -1;
    for (int i = 0; i < 15; ++i)
        c[static_cast<unsigned char>(PackAlphabet[i])] = static_cast<signed char>(i);
    return c;
}
constexpr auto kCode = makeCodes();

// Writes the symbols of every byte of `in`, the pads left out; returns the
// end of what it wrote (at most 2 * n bytes).
char* unpackAll(const unsigned char* in, qsizetype n, char* w) {
    for (qsizetype i = 0; i < n; ++i) {
        const Unpacked& u = kUnpack[in[i]];
        w[0] = u.sym[0];
        w[1] = u.sym[1];
        w += u.count;
    }
    return w;
}

// Writes the symbols of `in` when every byte carries two of them; returns
// nullptr at the first byte with a pad.
char* unpackFull(const unsigned char* in, qsizetype n, char* w) {
    qsizetype i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Four bytes, eight symbols, one store.
        for (; i + 4 <= n; i += 4) {
            const std::uint64_t a = kPairs[in[i]], b = kPairs[in[i + 1]], c = kPairs[in[i + 2]],
                                d = kPairs[in[i + 3]];
            if (!a || !b || !c || !d) return nullptr;
            const std::uint64_t v = a | b << 16 | c << 32 | d << 48;
            std::memcpy(w, &v, sizeof v);
            w += sizeof v;
        }
    }
    for (; i < n; ++i) {
        const Unpacked& u = kUnpack[in[i]];
        if (u.count != 2) return nullptr;
        w[0] = u.sym[0];
        w[1] = u.sym[1];
        w += 2;
    }
    return w;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QXD_SHUFFLE 1
// unpackFull eight bytes at a time where the processor has the byte
// shuffle: the sixteen nibbles are spread into bytes in order (high nibble
// first) and looked up in the alphabet at once.
// Eight bytes at `in` to sixteen symbols at `w`; false (nothing written)
// when one of them holds a pad.
__attribute__((target("ssse3"))) inline bool unpack8(const unsigned char* in, char* w) {
    const __m128i alphabet = _mm_loadu_si128(reinterpret_cast<const __m128i*>(PackAlphabet));
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in));
    const __m128i nibbles =
        _mm_unpacklo_epi8(_mm_and_si128(_mm_srli_epi16(x, 4), low), _mm_and_si128(x, low));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(nibbles, low))) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(w), _mm_shuffle_epi8(alphabet, nibbles));
    return true;
}

__attribute__((target("ssse3"))) char* unpackFullShuffle(const unsigned char* in, qsizetype n,
                                                         char* w) {
    static_assert(sizeof PackAlphabet == 16);
    if (n < 8) return unpackFull(in, n, w);
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8, w += 16)
        if (!unpack8(in + i, w)) return nullptr;
    // The tail: the last eight bytes once more, their first symbols written
    // again with the same values.
    if (i < n && !unpack8(in + n - 8, w - 2 * (8 - (n - i)))) return nullptr;
    return w + 2 * (n - i);
}
const bool kShuffle = __builtin_cpu_supports("ssse3");
#endif

// The first comma: symbols are short, so the first bytes are looked at here
// before the library search takes over.
qsizetype firstComma(QByteArrayView s) {
    const qsizetype near = std::min<qsizetype>(s.size(), 16);
    for (qsizetype i = 0; i < near; ++i)
        if (s[i] == ',') return i;
    if (near == s.size()) return -1;
    const void* cm = std::memchr(s.data() + near, ',', std::size_t(s.size() - near));
    return cm ? static_cast<const char*>(cm) - s.data() : -1;
}

} // namespace

void DeCompress(QByteArrayView s, QByteArray& out) {
    const qsizetype comma = firstComma(s);
    if (comma < 0) {
        out.resize(s.size());
        if (!s.isEmpty()) std::memcpy(out.data(), s.data(), s.size());
        return;
    }
    const qsizetype head = comma + 1;
    const qsizetype body = s.size() - head;
    const auto* in = reinterpret_cast<const unsigned char*>(s.data()) + head;
    if (body > 0) {
        // Senders pad only the last byte, so the length is known before
        // the bytes are read: one resize, no trimming after.
        const Unpacked& last = kUnpack[in[body - 1]];
        out.resize(head + 2 * (body - 1) + last.count);
        char* o = out.data();
        std::memcpy(o, s.data(), head);
#ifdef QXD_SHUFFLE
        char* w = kShuffle ? unpackFullShuffle(in, body - 1, o + head)
                           : unpackFull(in, body - 1, o + head);
#else
        char* w = unpackFull(in, body - 1, o + head);
#endif
        if (w) {
            for (int k = 0; k < last.count; ++k) *w++ = last.sym[k];
            return;
        }
    }
    // A pad inside the body: unpack for the longest result, then trim.
    out.resize(head + 2 * body);
    char* o = out.data();
    std::memcpy(o, s.data(), head);
    out.resize(unpackAll(in, body, o + head) - o);
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
