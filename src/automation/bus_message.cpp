#include "automation/bus_message.h"

#include "automation/handoff.h"

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

QByteArray PropertiesChangedBody(QByteArrayView interface, const PropertyChanges& p) {
    static constexpr const char* quoteKeys[] = {"Ask",   "AskS",     "Bid",   "BidS", "Change",
                                                "High",  "Last",     "LastS", "Low",  "OInt",
                                                "OpenV", "Previous", "TimeV", "Vol"};
    BusWriter w;
    w.bytes.reserve(640);
    w.string(interface);
    const BusWriter::Array entries = w.beginArray(8);
    auto key = [&w](const char* name, const char* type) {
        w.align(8);
        w.string(name);
        w.signature(type);
    };
    auto number = [&](const char* name, double v) {
        key(name, "d");
        w.f64(v);
    };
    auto integer = [&](const char* name, short v) {
        key(name, "n");
        w.i16(v);
    };
    if (p.kind == KindTime) {
        number("QuvantixServerDateTime", p.serverTime);
    } else if (p.kind >= 0) {
        for (int i = 0; i < 5; ++i) number(quoteKeys[i], p.quote[i]); // Ask .. Change
        integer("Flag", p.flag);
        for (int i = 5; i < 12; ++i) number(quoteKeys[i], p.quote[i]); // High .. Previous
        key("Simbolo", "s");
        w.string(p.simbolo);
        for (int i = 12; i < 14; ++i) number(quoteKeys[i], p.quote[i]); // TimeV, Vol
        if (p.kind == KindTrade) integer("nTicks", p.ticks);
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
