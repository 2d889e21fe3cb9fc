// A feed server on 127.0.0.1 (OS-chosen port) for tests of the whole
// program: it leads the logon dialogue, records every message the client
// sends, and sends messages (packed) or raw bytes on command.
#pragma once

#include "wire/frame.h"
#include "wire/pack.h"

#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

namespace qxd {

class ScriptedServer : public QObject {
public:
    QList<QByteArray> received; // client messages, in order
    bool refuse = false;        // "#O" to every logon

    ScriptedServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                if (peer_) peer_->abort();
                peer_ = s;
                ex_ = FrameExtractor();
                connect(s, &QTcpSocket::readyRead, this, [this, s] { onRead(s); });
                send("#USER?");
            }
        });
    }

    quint16 port() const { return server_.serverPort(); }
    QTcpSocket* peer() const { return peer_; }

    // Sends one message in its own frame, packed as servers pack them.
    void send(const QByteArray& message) { sendRaw(ConverteToSend(Compress(message))); }
    void sendRaw(const QByteArray& bytes) {
        if (!peer_) return;
        peer_->write(bytes);
        peer_->flush();
    }
    void closePeer() {
        if (peer_) peer_->disconnectFromHost();
    }
    int count(const QByteArray& message) const { return int(received.count(message)); }

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
    // The dialogue: prompts in turn, "#L" for trader/pw, "#O" for others.
    void handle(const QByteArray& m) {
        received.append(m);
        if (m.startsWith('!')) {
            user_ = m.mid(1);
            send("#PASS?");
        } else if (m.startsWith('^')) {
            pass_ = m.mid(1);
            send("#TIPO?");
        } else if (m == "&1") {
            send(!refuse && user_ == "trader" && pass_ == "pw" ? "#L" : "#O");
        }
    }

    QTcpServer server_;
    QPointer<QTcpSocket> peer_;
    FrameExtractor ex_;
    QByteArray user_, pass_;
};

} // namespace qxd
