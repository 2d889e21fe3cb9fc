#include "automation/bus_message.h"

#include "automation/qxdclientcls.h"
#include "handoff/handoff.h"

#include <QStringDecoder>

#include <algorithm>
#include <vector>

#include <bit>
#include <cstring>

namespace qxd {

void BusWriter::string(QByteArrayView utf8) {
    u32(std::uint32_t(utf8.size()));
    bytes.append(utf8.data(), utf8.size());
    bytes.append('\0');
}

void BusWriter::signature(QByteArrayView sig) {
    byte(std::uint8_t(sig.size()));
    bytes.append(sig.data(), sig.size());
    bytes.append('\0');
}

BusWriter::Array BusWriter::beginArray(int elementAlign) {
    u32(0);
    const qsizetype at = bytes.size() - 4;
    align(elementAlign);
    return {at, bytes.size()};
}

void BusWriter::endArray(Array a) {
    const auto length = std::uint32_t(bytes.size() - a.start);
    std::memcpy(bytes.data() + a.lengthAt, &length, sizeof length);
}

QString BytesToBus(const QByteArray& b) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = utf8(b);
    if (utf8.hasError()) s = QString::fromLatin1(b);
    s.replace(QChar(0), QChar(0xFFFD));
    return s;
}

QByteArray BusToBytes(const QString& s) {
    return s.toUtf8();
}

QByteArray BusUtf8(const QByteArray& b) {
    for (char c : b) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0 || u > 127) return BytesToBus(b).toUtf8(); // also where char is unsigned
    }
    return b;
}

namespace {

// One entry of the a{sv}: key, signature, value.
void writeValue(BusWriter& w, float v) {
    w.signature("d");
    w.f64(double(v));
}
void writeValue(BusWriter& w, double v) {
    w.signature("d");
    w.f64(v);
}
void writeValue(BusWriter& w, short v) {
    w.signature("n");
    w.i16(v);
}
void writeValue(BusWriter& w, const QByteArray& text) {
    w.signature("s");
    w.string(BusUtf8(text));
}

struct Entry {
    const char* name;
    void (*write)(BusWriter&, const QXDClientCLS&);
};

// The entries a quote sets, sorted by name; with nTicks for a trade.
std::vector<Entry> quoteEntries(bool trade) {
    std::vector<Entry> e = {
#define QXD_ENTRY(Property, handOffField, Type)                                                    \
    {#Property, [](BusWriter& w, const QXDClientCLS& c) { writeValue(w, c.Property); }},
        QXD_QUOTE_FIELDS(QXD_ENTRY)
#undef QXD_ENTRY
            {"Flag", [](BusWriter& w, const QXDClientCLS& c) { writeValue(w, c.Flag); }},
    };
    if (trade)
        e.push_back(
            {"nTicks", [](BusWriter& w, const QXDClientCLS& c) { writeValue(w, c.nTicks); }});
    std::sort(e.begin(), e.end(),
              [](const Entry& a, const Entry& b) { return std::strcmp(a.name, b.name) < 0; });
    return e;
}

} // namespace

QByteArray PropertiesChangedBody(QByteArrayView interface, int kind, const QXDClientCLS& cls) {
    static const std::vector<Entry> trade = quoteEntries(true), quote = quoteEntries(false);
    BusWriter w;
    w.bytes.reserve(640);
    w.string(interface);
    const BusWriter::Array entries = w.beginArray(8);
    auto entry = [&w, &cls](const Entry& e) {
        w.align(8);
        w.string(e.name);
        e.write(w, cls);
    };
    if (kind == KindTime) {
        entry({"QuvantixServerDateTime", [](BusWriter& w, const QXDClientCLS& c) {
                   writeValue(w, c.QuvantixServerDateTime);
               }});
    } else if (kind == KindTrade || kind == KindComplete || kind == KindRequested) {
        for (const Entry& e : kind == KindTrade ? trade : quote) entry(e);
    }
    w.endArray(entries);
    w.beginArray(4); // as: no invalidated properties
    return w.bytes;
}

QByteArray SignalMessage(QByteArrayView path, QByteArrayView interface, QByteArrayView member,
                         QByteArrayView bodySignature, const QByteArray& body,
                         std::uint32_t serial) {
    enum : std::uint8_t { Signal = 4, NoReplyExpected = 1, Version = 1 };
    enum : std::uint8_t { FieldPath = 1, FieldInterface = 2, FieldMember = 3, FieldSignature = 8 };
    BusWriter w;
    w.bytes.reserve(128 + body.size());
    w.byte(std::endian::native == std::endian::little ? 'l' : 'B');
    w.byte(Signal);
    w.byte(NoReplyExpected);
    w.byte(Version);
    w.u32(std::uint32_t(body.size()));
    w.u32(serial);
    const BusWriter::Array fields = w.beginArray(8);
    auto field = [&w](std::uint8_t code, const char* type, QByteArrayView value) {
        w.align(8);
        w.byte(code);
        w.signature(type);
        if (type[0] == 'g')
            w.signature(value);
        else
            w.string(value);
    };
    field(FieldPath, "o", path);
    field(FieldInterface, "s", interface);
    field(FieldMember, "s", member);
    if (!body.isEmpty()) field(FieldSignature, "g", bodySignature);
    w.endArray(fields);
    w.align(8);
    w.bytes.append(body);
    return w.bytes;
}

} // namespace qxd
