// A scripted historic server on 127.0.0.1 (OS-chosen port): it leads the
// logon, records the requests and answers each with what the test set up:
// by default the archive registered for the request's symbol, sent as a
// begin marker, raw chunks and an end marker.
#pragma once

#include "wire/frame.h"
#include "wire/pack.h"

#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <sys/socket.h>

namespace qxd {

struct HistRequest {
    QByteArray text, symbol, code;
};

class HistServer : public QObject {
public:
    QByteArray user = "trader";
    QByteArray password = "pw";
    QList<QByteArray> received;
    QList<HistRequest> requests;
    int connections = 0;
    int chunkSize = 16000;
    QMap<QByteArray, QByteArray> archives; // symbol -> zip bytes
    // Answers a request; the default sends the symbol's archive.
    std::function<void(HistServer&, const HistRequest&)> onRequest;

    HistServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                peer_ = s;
                ex_ = FrameExtractor();
                ++connections;
                connect(s, &QTcpSocket::readyRead, this, [this, s] { onRead(s); });
                send("#USER?");
            }
        });
    }

    quint16 port() const { return server_.serverPort(); }
    QTcpSocket* peer() const { return peer_; }

    void send(const QByteArray& m) { sendRaw(ConverteToSend(Compress(m))); }
    void sendUnpacked(const QByteArray& m) { sendRaw(ConverteToSend(m)); }
    void sendRaw(const QByteArray& b) {
        if (!peer_) return;
        peer_->write(b);
        peer_->flush();
    }
    void resetPeer() {
        if (!peer_) return;
        const linger lg{1, 0};
        ::setsockopt(int(peer_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        peer_->abort();
    }

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

private:
    void onRead(QTcpSocket* s) {
        if (s != peer_) return;
        const QByteArray data = s->readAll();
        qsizetype left = 0;
        QByteArrayView in = data;
        do {
            const QByteArrayView m = ex_.extract(in, left);
            in = {};
            if (!m.isEmpty()) handle(m.toByteArray());
        } while (left > 0);
    }
    void handle(const QByteArray& m) {
        received.append(m);
        if (m.startsWith('!')) {
            user_ = m.mid(1);
            send("#PASS?");
        } else if (m.startsWith('^')) {
            pass_ = m.mid(1);
            send("#TIPO?");
        } else if (m == "&1") {
            send(user_ == user && pass_ == password ? "#L" : "#O");
        } else if (m.startsWith("#F")) {
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
    }

    QTcpServer server_;
    QPointer<QTcpSocket> peer_;
    FrameExtractor ex_;
    QByteArray user_, pass_;
};

} // namespace qxd
