#include "wire/capture.h"

#include <QHash>
#include <QtEndian>

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>

namespace qxd::wire {

bool IsCapture(QByteArrayView head) {
    if (head.size() < 4) return false;
    const auto magic = qFromBigEndian<quint32>(head.data());
    return magic == 0xa1b2c3d4 || magic == 0xd4c3b2a1 || magic == 0xa1b23c4d ||
           magic == 0x4d3cb2a1 || magic == 0x0a0d0d0a;
}

namespace {

// One direction of a connection: its bytes in sequence order, in pieces
// split where the capture has a gap.
struct Direction {
    bool started = false;
    quint32 next = 0;        // the sequence number of the next byte in order
    qint64 offset = 0;       // its offset in the stream
    QByteArray bytes;        // the piece under way
    qint64 base = 0;         // the stream offset of its first byte
    std::map<qint64, double> times; // stream offset where a segment's bytes start -> its time
    std::map<quint32, std::pair<QByteArray, double>> early; // segments ahead of `next`
    struct Piece {
        qint64 base;
        QByteArray bytes;
    };
    QList<Piece> pieces;
    QList<std::pair<qint64, qint64>> gaps; // offset, missing bytes

    static qint32 ahead(quint32 seq, quint32 from) { return qint32(seq - from); }

    void append(quint32 seq, QByteArrayView data, double time) {
        if (ahead(seq, next) > 0) { // early: kept until the bytes before it come
            auto& slot = early[seq];
            if (data.size() > slot.first.size()) slot = {data.toByteArray(), time};
            return;
        }
        take(seq, data, time);
        // What came early may follow now.
        for (bool more = true; more;) {
            more = false;
            for (auto it = early.begin(); it != early.end(); ++it) {
                if (ahead(it->first, next) > 0) continue;
                const quint32 at = it->first;
                const auto [segment, t] = it->second;
                early.erase(it);
                take(at, segment, t);
                more = true;
                break;
            }
        }
    }

    // Bytes at `seq`, not ahead of `next`: what was read already is skipped.
    void take(quint32 seq, QByteArrayView data, double time) {
        const qint32 behind = -ahead(seq, next);
        if (behind >= data.size()) return; // a retransmission of bytes already read
        data = data.sliced(behind);
        times.emplace(offset, time);
        bytes.append(data);
        offset += data.size();
        next += quint32(data.size());
    }

    // The end of the capture: what is still early lies beyond a gap.
    void finish() {
        while (!early.empty()) {
            const auto it = early.begin();
            const qint32 missing = ahead(it->first, next);
            pieces.append({base, std::exchange(bytes, {})});
            gaps.append({offset, missing});
            offset += missing;
            next = it->first;
            base = offset;
            const auto [segment, t] = it->second;
            early.erase(it);
            append(next, segment, t);
        }
        pieces.append({base, std::exchange(bytes, {})});
    }

    double timeAt(qint64 streamOffset) const {
        auto it = times.upper_bound(streamOffset);
        return it == times.begin() ? 0 : std::prev(it)->second;
    }
};

struct Connection {
    int number = 0;
    QByteArray endpoints;
    bool historic = false;
    Direction toServer, fromServer;
};

// The IP packet inside a captured frame of this link type, empty if none.
QByteArrayView ipPacket(int linkType, QByteArrayView frame) {
    auto at = [&](qsizetype from, quint16 protocol) -> QByteArrayView {
        if (protocol != 0x0800 && protocol != 0x86DD) return {};
        return frame.size() > from ? frame.sliced(from) : QByteArrayView();
    };
    switch (linkType) {
    case DLT_EN10MB: {
        if (frame.size() < 14) return {};
        qsizetype p = 12;
        quint16 type = qFromBigEndian<quint16>(frame.data() + p);
        while ((type == 0x8100 || type == 0x88A8) && frame.size() >= p + 6) {
            p += 4;
            type = qFromBigEndian<quint16>(frame.data() + p);
        }
        return at(p + 2, type);
    }
    case DLT_LINUX_SLL:
        return frame.size() < 16 ? QByteArrayView()
                                 : at(16, qFromBigEndian<quint16>(frame.data() + 14));
    case DLT_LINUX_SLL2:
        return frame.size() < 20 ? QByteArrayView() : at(20, qFromBigEndian<quint16>(frame.data()));
    case DLT_NULL:
    case DLT_LOOP:
        return frame.size() < 4 ? QByteArrayView() : frame.sliced(4);
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
        return frame;
    default:
        return {};
    }
}

struct Segment {
    QByteArray source, destination; // "address:port"
    quint16 sourcePort = 0, destinationPort = 0;
    quint32 seq = 0;
    bool syn = false;
    QByteArrayView data;
};

bool tcpSegment(QByteArrayView ip, Segment* s) {
    if (ip.isEmpty()) return false;
    QByteArrayView tcp;
    const int version = static_cast<unsigned char>(ip[0]) >> 4;
    if (version == 4) {
        if (ip.size() < 20 || ip[9] != 6) return false;
        const qsizetype header = (ip[0] & 0x0f) * 4;
        const qsizetype total = qFromBigEndian<quint16>(ip.data() + 2);
        if (header < 20 || total < header || total > ip.size()) return false;
        if (qFromBigEndian<quint16>(ip.data() + 6) & 0x3fff) return false; // a fragment
        auto addr = [&](qsizetype at) {
            return QByteArray::number(static_cast<unsigned char>(ip[at])) + '.' +
                   QByteArray::number(static_cast<unsigned char>(ip[at + 1])) + '.' +
                   QByteArray::number(static_cast<unsigned char>(ip[at + 2])) + '.' +
                   QByteArray::number(static_cast<unsigned char>(ip[at + 3]));
        };
        s->source = addr(12);
        s->destination = addr(16);
        tcp = ip.sliced(header, total - header);
    } else if (version == 6) {
        if (ip.size() < 40 || ip[6] != 6) return false;
        const qsizetype payload = qFromBigEndian<quint16>(ip.data() + 4);
        if (40 + payload > ip.size()) return false;
        auto addr = [&](qsizetype at) { return '[' + ip.sliced(at, 16).toByteArray().toHex() + ']'; };
        s->source = addr(8);
        s->destination = addr(24);
        tcp = ip.sliced(40, payload);
    } else {
        return false;
    }
    if (tcp.size() < 20) return false;
    const qsizetype header = (static_cast<unsigned char>(tcp[12]) >> 4) * 4;
    if (header < 20 || header > tcp.size()) return false;
    s->sourcePort = qFromBigEndian<quint16>(tcp.data());
    s->destinationPort = qFromBigEndian<quint16>(tcp.data() + 2);
    s->seq = qFromBigEndian<quint32>(tcp.data() + 4);
    s->syn = tcp[13] & 0x02;
    s->data = tcp.sliced(header);
    s->source += ':' + QByteArray::number(s->sourcePort);
    s->destination += ':' + QByteArray::number(s->destinationPort);
    return true;
}

void decode(const Connection& c, const Direction& d, bool fromServer, QList<CaptureMessage>* out) {
    auto emitOne = [&](const Decoded& m, double time, bool gap) {
        out->append({time, c.number, c.endpoints, fromServer, c.historic, m, gap});
    };
    qsizetype g = 0;
    for (const Direction::Piece& piece : d.pieces) {
        for (; g < d.gaps.size() && d.gaps[g].first <= piece.base; ++g)
            emitOne({d.gaps[g].first, false,
                     "gap in the capture: " + QByteArray::number(d.gaps[g].second) +
                         " bytes missing",
                     {}},
                    d.timeAt(d.gaps[g].first), true);
        const QList<Decoded> messages = DecodeStream(piece.bytes, c.historic, fromServer);
        for (qsizetype i = 0; i < messages.size(); ++i) {
            Decoded m = messages[i];
            const qint64 end =
                piece.base + (i + 1 < messages.size() ? messages[i + 1].offset : piece.bytes.size()) - 1;
            m.offset += piece.base;
            emitOne(m, d.timeAt(end), false);
        }
    }
}

} // namespace

bool ReadCapture(const QString& path, const CaptureOptions& options, QList<CaptureMessage>* out,
                 QString* error) {
    char err[PCAP_ERRBUF_SIZE] = {};
    std::unique_ptr<pcap_t, decltype(&pcap_close)> pcap(
        pcap_open_offline_with_tstamp_precision(path.toLocal8Bit().constData(),
                                                PCAP_TSTAMP_PRECISION_MICRO, err),
        &pcap_close);
    if (!pcap) {
        *error = QString::fromLocal8Bit(err);
        return false;
    }
    const int link = pcap_datalink(pcap.get());
    std::map<QByteArray, Connection> connections; // by "client > server"
    int numbered = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    int r;
    while ((r = pcap_next_ex(pcap.get(), &header, &bytes)) == 1) {
        Segment s;
        const QByteArrayView frame(reinterpret_cast<const char*>(bytes), header->caplen);
        if (!tcpSegment(ipPacket(link, frame), &s)) continue;
        const bool toFeed = options.feedPorts.contains(s.destinationPort),
                   toHist = options.historicPorts.contains(s.destinationPort);
        const bool fromFeed = options.feedPorts.contains(s.sourcePort),
                   fromHist = options.historicPorts.contains(s.sourcePort);
        if (!toFeed && !toHist && !fromFeed && !fromHist) continue;
        const bool fromServer = fromFeed || fromHist;
        const QByteArray key = fromServer ? s.destination + " > " + s.source
                                          : s.source + " > " + s.destination;
        Connection& c = connections[key];
        if (c.number == 0) {
            c.number = ++numbered;
            c.endpoints = key;
            c.historic = fromServer ? fromHist : toHist;
        }
        Direction& d = fromServer ? c.fromServer : c.toServer;
        const double time = double(header->ts.tv_sec) + double(header->ts.tv_usec) / 1e6;
        if (s.syn) {
            d.started = true;
            d.next = s.seq + 1;
            continue;
        }
        if (s.data.isEmpty()) continue;
        if (!d.started) {
            d.started = true;
            d.next = s.seq;
        }
        d.append(s.seq, s.data, time);
    }
    if (r == PCAP_ERROR) {
        *error = QString::fromLocal8Bit(pcap_geterr(pcap.get()));
        return false;
    }
    out->clear();
    for (auto& [key, c] : connections) {
        c.toServer.finish();
        c.fromServer.finish();
        decode(c, c.toServer, false, out);
        decode(c, c.fromServer, true, out);
    }
    std::stable_sort(out->begin(), out->end(), [](const CaptureMessage& a, const CaptureMessage& b) {
        return a.time < b.time;
    });
    return true;
}

QString MessageKind(const QByteArray& m) {
    if (m.isEmpty()) return QStringLiteral("other");
    switch (m[0]) {
    case '$': return QStringLiteral("trade");
    case '{': return QStringLiteral("complete");
    case '}': return QStringLiteral("time");
    case '@': return QStringLiteral("note");
    case '*': return QStringLiteral("chunk");
    case ']': return QStringLiteral("count");
    case '#': return m.startsWith("#D") ? QStringLiteral("requested") : QStringLiteral("control");
    default: return QStringLiteral("other");
    }
}

QJsonObject MessageFields(const QByteArray& m) {
    static const char* const trade[] = {"symbol", "last", "lastSize", "change", "volume", "ticks"};
    static const char* const quote[] = {"symbol", "open",    "high",   "low",     "last",
                                        "lastSize", "volume", "openInterest", "ask", "askSize",
                                        "bid",      "bidSize", "change", "previous"};
    const QString kind = MessageKind(m);
    const char* const* names = nullptr;
    qsizetype count = 0, skip = 1;
    if (kind == QLatin1String("trade")) {
        names = trade;
        count = std::size(trade);
    } else if (kind == QLatin1String("complete") || kind == QLatin1String("requested")) {
        names = quote;
        count = std::size(quote);
        skip = kind == QLatin1String("requested") ? 2 : 1;
    } else {
        return {};
    }
    QJsonObject fields;
    const QList<QByteArray> values = m.mid(skip).split(',');
    for (qsizetype i = 0; i < count && i < values.size(); ++i)
        fields.insert(QLatin1String(names[i]), QString::fromLatin1(values[i]));
    return fields;
}

} // namespace qxd::wire
