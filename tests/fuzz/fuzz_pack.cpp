// Packing both ways. For any text, unpacking its packed form gives the text
// back with the body's characters outside the alphabet left out; for any
// bytes, unpacking never fails and its result survives a round trip; the
// reusing form writes what the plain form returns.
#include "check.h"
#include "wire/pack.h"

#include <cstdlib>
#include <cstring>

using namespace qxd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView in(reinterpret_cast<const char*>(data), qsizetype(size));

    // Text -> packed -> text.
    QByteArray expected;
    const qsizetype comma = in.indexOf(',');
    if (comma < 0) {
        expected = in.toByteArray();
    } else {
        expected = in.first(comma + 1).toByteArray();
        for (char ch : in.sliced(comma + 1))
            if (ch != 0 && std::strchr(PackAlphabet, ch)) expected.append(ch);
    }
    const QByteArray packed = Compress(in);
    CHECK(packed.size() <= in.size() + 1);
    CHECK(DeCompress(packed) == expected);

    // Packed bytes -> text -> packed -> text.
    const QByteArray text = DeCompress(in);
    CHECK(text.size() <= 2 * in.size());
    CHECK(DeCompress(Compress(text)) == text);

    QByteArray reused("left over from an earlier message, longer than most");
    DeCompress(in, reused);
    CHECK(reused == text);
    return 0;
}
