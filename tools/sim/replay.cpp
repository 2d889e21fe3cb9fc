#include "sim/sim.h"
#include "wire/capture.h"

namespace qxd::sim {

// The server's side of the captured feed connections, less the logon
// dialogue (the simulator leads its own): quotes, times, notes, counts.
bool LoadReplay(const QString& path, quint16 port, Options* o, QString* error) {
    wire::CaptureOptions ports;
    ports.feedPorts = {port};
    ports.historicPorts = {};
    QList<wire::CaptureMessage> messages;
    if (!wire::ReadCapture(path, ports, &messages, error)) return false;
    for (const auto& m : messages) {
        const QByteArray& text = m.message.bytes;
        if (!m.fromServer || !m.message.ok || text.isEmpty() ||
            !QByteArray("${}@]").contains(text[0]))
            continue;
        const bool quote = text[0] == '$' || text[0] == '{';
        o->replay.push_back({m.time, text, quote ? text.mid(1, text.indexOf(',') - 1) : QByteArray()});
    }
    if (o->replay.empty()) {
        *error = QStringLiteral("%1: no feed server messages on port %2").arg(path).arg(port);
        return false;
    }
    // Times from the first message played.
    const double t0 = o->replay.front().at;
    for (auto& r : o->replay) r.at -= t0;
    return true;
}

} // namespace qxd::sim
