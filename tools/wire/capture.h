// Reading the client's connections out of a packet capture (pcap or pcapng,
// through libpcap): every TCP connection on the feed or historic ports,
// each direction reassembled in sequence order (retransmitted bytes read
// once, segments that came early put in their place), and cut into
// messages. Bytes the capture missed are reported as a gap, never guessed
// over: the decoding starts afresh after it.
#pragma once

#include "wire/decode.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

namespace qxd::wire {

struct CaptureOptions {
    QSet<quint16> feedPorts{1400};
    QSet<quint16> historicPorts{11000};
};

struct CaptureMessage {
    double time = 0;       // capture time (seconds since 1970) of the message's last byte
    int connection = 0;    // 1, 2, ... in order of appearance
    QByteArray endpoints;  // "client-address:port > server-address:port"
    bool fromServer = false;
    bool historic = false;
    Decoded message;       // offset: in the direction's stream, from its first byte
    bool gap = false;      // not a message: `message.text` says how many bytes are missing
};

// Whether `head` (a file's first bytes) starts a pcap or pcapng file.
bool IsCapture(QByteArrayView head);

// The messages of every connection in the capture, in the order of their
// capture times; false with the reason when the file cannot be read.
bool ReadCapture(const QString& path, const CaptureOptions& options, QList<CaptureMessage>* out,
                 QString* error);

// A message's kind ("trade", "complete", "requested", "time", "control",
// "note", "chunk", "count", "other") and its fields by name (records only).
QString MessageKind(const QByteArray& text);
QJsonObject MessageFields(const QByteArray& text);

} // namespace qxd::wire
