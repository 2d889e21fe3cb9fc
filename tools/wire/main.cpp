// qxd-wire: decodes the client's connections into one line per message,
// unpacked: from a packet capture (pcap or pcapng: every connection on the
// feed and historic ports, both directions), or from a raw byte stream of
// one direction (as a capture tool saves a TCP stream). See Usage below.
#include "wire/capture.h"
#include "wire/decode.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstring>

namespace {

constexpr char Usage[] =
    "Usage: qxd-wire [--json] [--feed-port N]... [--hist-port N]... CAPTURE\n"
    "       qxd-wire [--hist] [--json] [STREAM]\n"
    "       qxd-wire --help | --version\n"
    "Decodes the client's connections into one line per message, unpacked.\n"
    "A CAPTURE (pcap or pcapng, as tcpdump and Wireshark write them): every TCP\n"
    "connection on the feed ports (default 1400) and historic ports (default 11000),\n"
    "each direction in sequence order; each line gives the time since the first\n"
    "message, the connection, who sent it (client or server), its offset in that\n"
    "direction's bytes and the message; gaps in the capture are reported.\n"
    "A STREAM (raw bytes of one direction, standard input without STREAM or with -):\n"
    "feed frames, or with --hist historic ones; each line gives the offset and the message.\n"
    "\"!\" marks bytes that could not be cut. --json prints one JSON object a line.\n"
    "\n"
    "Exit status: 0 every frame decoded, 1 the input cannot be read, 2 wrong usage,\n"
    "3 some frames could not be cut (or bytes are missing from the capture).\n";

void printJson(QJsonObject o) {
    std::printf("%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
}

QJsonObject messageJson(const qxd::wire::Decoded& d) {
    QJsonObject o{{"offset", double(d.offset)}, {"text", QString::fromLatin1(d.text)}};
    o.insert("kind", d.ok ? qxd::wire::MessageKind(d.text) : QStringLiteral("malformed"));
    if (const QJsonObject f = qxd::wire::MessageFields(d.text); d.ok && !f.isEmpty())
        o.insert("fields", f);
    return o;
}

} // namespace

int main(int argc, char** argv) {
    bool hist = false, json = false;
    const char* path = nullptr;
    qxd::wire::CaptureOptions ports;
    bool portsGiven[2] = {false, false};
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "--hist")) {
            hist = true;
        } else if (!std::strcmp(a, "--json")) {
            json = true;
        } else if ((!std::strcmp(a, "--feed-port") || !std::strcmp(a, "--hist-port")) &&
                   i + 1 < argc) {
            const bool feed = a[2] == 'f';
            bool ok = false;
            const uint port = QByteArray(argv[++i]).toUInt(&ok);
            if (!ok || port == 0 || port > 65535) {
                std::fprintf(stderr, "qxd-wire: %s is not a port\n%s", argv[i], Usage);
                return 2;
            }
            QSet<quint16>& set = feed ? ports.feedPorts : ports.historicPorts;
            if (!std::exchange(portsGiven[feed ? 0 : 1], true)) set.clear();
            set.insert(quint16(port));
        } else if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(Usage, stdout);
            return 0;
        } else if (!std::strcmp(a, "--version")) {
            std::printf("qxd-wire %s\n", QXD_VERSION);
            return 0;
        } else if ((a[0] == '-' && a[1] != 0) || path) {
            std::fprintf(stderr, "qxd-wire: unexpected argument %s\n%s", a, Usage);
            return 2;
        } else {
            path = a;
        }
    }
    QFile f;
    bool open;
    if (!path || !std::strcmp(path, "-"))
        open = f.open(stdin, QIODevice::ReadOnly);
    else {
        f.setFileName(QString::fromLocal8Bit(path));
        open = f.open(QIODevice::ReadOnly);
    }
    if (!open) {
        std::fprintf(stderr, "qxd-wire: cannot read %s\n", path ? path : "standard input");
        return 1;
    }
    int bad = 0;
    if (path && qxd::wire::IsCapture(f.peek(4))) {
        QList<qxd::wire::CaptureMessage> messages;
        QString err;
        if (!qxd::wire::ReadCapture(f.fileName(), ports, &messages, &err)) {
            std::fprintf(stderr, "qxd-wire: %s: %s\n", path, qPrintable(err));
            return 1;
        }
        const double t0 = messages.isEmpty() ? 0 : messages.first().time;
        for (const auto& m : messages) {
            bad += !m.message.ok;
            const char* who = m.fromServer ? "server" : "client";
            if (json) {
                QJsonObject o = messageJson(m.message);
                o.insert("time", m.time);
                o.insert("connection", m.connection);
                o.insert("endpoints", QString::fromLatin1(m.endpoints));
                o.insert("direction", QLatin1String(who));
                if (m.gap) o.insert("kind", QStringLiteral("gap"));
                printJson(o);
            } else {
                std::printf("%12.6f #%d %-6s %10lld %s %s\n", m.time - t0, m.connection, who,
                            static_cast<long long>(m.message.offset), m.message.ok ? " " : "!",
                            m.message.text.constData());
            }
        }
        return bad ? 3 : 0;
    }
    const QByteArray bytes = f.readAll();
    for (const auto& d : qxd::wire::DecodeStream(bytes, hist)) {
        bad += !d.ok;
        if (json)
            printJson(messageJson(d));
        else
            std::printf("%10lld %s %s\n", static_cast<long long>(d.offset), d.ok ? " " : "!",
                        d.text.constData());
    }
    return bad ? 3 : 0;
}
