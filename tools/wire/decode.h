// Decoding of a captured byte stream of either connection into messages.
#pragma once

#include <QByteArray>
#include <QList>

namespace qxd::wire {

struct Decoded {
    qsizetype offset = 0; // where the frame (or the bytes that could not be cut) starts
    bool ok = true;       // a message; otherwise `text` says what could not be cut
    QByteArray text;      // the message unpacked and printable
    QByteArray bytes;     // the message unpacked, as it is
};

// Real-time connection: frames end at their first "~"; payloads are packed.
// Historic connection: frames end by their declared length; payloads are
// packed except between the transfer markers. `packed`: the servers' side
// (the client's own messages are not packed).
QList<Decoded> DecodeStream(QByteArrayView bytes, bool historic, bool packed = true);

// Printable form: bytes outside 32..126 as \xHH; a raw transfer chunk's
// data as its length only.
QByteArray Printable(const QByteArray& message, bool raw);

} // namespace qxd::wire
