// A scripted historic server on 127.0.0.1 (OS-chosen port): it leads the
// logon, records the requests and answers each with what the test set up:
// by default the archive registered for the request's symbol, sent as a
// begin marker, raw chunks and an end marker.
#pragma once

#include "support/feed_server.h"

#include <QMap>

#include <functional>

namespace qxd {

struct HistRequest {
    QByteArray text, symbol, code;
};

class HistServer : public ScriptedServer {
public:
    QList<HistRequest> requests;
    int chunkSize = 16000;
    QMap<QByteArray, QByteArray> archives; // symbol -> zip bytes
    // Answers a request; the default sends the symbol's archive.
    std::function<void(HistServer&, const HistRequest&)> onRequest;

    void sendUnpacked(const QByteArray& m) { sendRaw(ConverteToSend(m)); }

    // The transfer: begin marker (packed, as every message outside a
    // transfer), the chunks and the end marker (raw, as inside a transfer).
    void beginTransfer(const QByteArray& sym, const QByteArray& code) {
        send("#B" + sym + "," + code);
    }
    void chunks(const QByteArray& zip, qsizetype upTo = -1) {
        const qsizetype end = upTo < 0 ? zip.size() : upTo;
        for (qsizetype at = 0, n = 0; at < end; at += chunkSize, ++n) {
            const QByteArray part = zip.mid(at, std::min<qsizetype>(chunkSize, end - at));
            sendUnpacked("*" + QByteArray::number(n) + "," + QByteArray::number(part.size()) + "," +
                         part);
        }
    }
    void endTransfer(const QByteArray& sym, const QByteArray& code) {
        sendUnpacked("#B" + sym + "," + code);
    }
    void transfer(const QByteArray& sym, const QByteArray& code, const QByteArray& zip) {
        beginTransfer(sym, code);
        chunks(zip);
        endTransfer(sym, code);
    }

protected:
    void onMessage(const QByteArray& m) override {
        if (!m.startsWith("#F")) return;
        const QList<QByteArray> f = m.mid(2).split(',');
        HistRequest r{m, f.value(0), f.value(1).mid(2)};
        requests.append(r);
        if (onRequest)
            onRequest(*this, r);
        else if (archives.contains(r.symbol))
            transfer(r.symbol, r.code, archives.value(r.symbol));
        else
            send("#E" + r.symbol);
    }
};

} // namespace qxd
