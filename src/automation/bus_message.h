// Signal messages in the bus's wire format, written byte by byte.
//
// A quote leaves as two signals (PropertiesChanged with up to 17 entries,
// then FeederReady). Built through a generic container writer, every entry
// costs thousands of instructions in type checks and bookkeeping; written
// here, the whole message is a few hundred stores. The bytes are those the
// library's own writer produces (native byte order, the same header fields
// in the same order), so the library reads them back as its own message.
//
// Plain code: no bus, no event loop.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>

namespace qxd {

class QXDClientCLS;

// Appends values with the alignment the wire format gives each type,
// counted from the start of `bytes`.
class BusWriter {
public:
    QByteArray bytes;

    void align(int n) {
        const qsizetype pad = (n - bytes.size() % n) % n;
        if (pad) bytes.append(pad, '\0');
    }
    void byte(std::uint8_t v) { bytes.append(char(v)); }
    void u32(std::uint32_t v) { fixed(v); }
    void i16(std::int16_t v) { fixed(v); }
    void f64(double v) { fixed(v); }
    // s and o: length, the bytes, a NUL.
    void string(QByteArrayView utf8);
    // g: one length byte, the bytes, a NUL.
    void signature(QByteArrayView sig);
    // An array: its length (patched by endArray) and the padding to its
    // first element, which the length does not count.
    struct Array {
        qsizetype lengthAt;
        qsizetype start;
    };
    Array beginArray(int elementAlign);
    void endArray(Array a);

private:
    template <class T>
    void fixed(T v) {
        align(int(sizeof v));
        bytes.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
};

// Texts on the bus: UTF-8 when the bytes are valid UTF-8, else Latin-1 byte
// for byte (a NUL, which the bus cannot carry, becomes U+FFFD).
QString BytesToBus(const QByteArray& b);
QByteArray BusToBytes(const QString& s);
// The same text as UTF-8 bytes; plain ASCII (every symbol in practice) as it is.
QByteArray BusUtf8(const QByteArray& b);

// The body of PropertiesChanged (signature "sa{sv}as") for `interface` with
// the properties of `cls` that the relay sets for a hand-off of `kind`:
// the server time for a time, the quote fields and Flag for a quote (and
// nTicks for a trade), nothing for other kinds; keys in the order of their
// names.
QByteArray PropertiesChangedBody(QByteArrayView interface, int kind, const QXDClientCLS& cls);

// A whole signal: header (path, interface, member, and the body's
// signature when there is a body), padding, body. `serial` must not be 0.
QByteArray SignalMessage(QByteArrayView path, QByteArrayView interface, QByteArrayView member,
                         QByteArrayView bodySignature, const QByteArray& body,
                         std::uint32_t serial);

} // namespace qxd
