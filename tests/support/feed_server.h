// A scripted server on 127.0.0.1 (OS-chosen port) that speaks the server's
// side of the protocol: it leads the logon dialogue when asked to, records
// every message the client sends, and sends messages (packed), raw bytes,
// orderly closes and resets on command.
#pragma once

#include "wire/frame.h"
#include "wire/pack.h"

#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

namespace qxd {

class ScriptedServer : public QObject {
public:
    // The logon dialogue: prompts on connect, "#L" for these credentials,
    // "#O" for others. Off: the test speaks for the server.
    bool autoLogon = true;
    QByteArray user = "trader";
    QByteArray password = "pw";

    QList<QByteArray> received; // client messages, in order
    int connections = 0;

    ScriptedServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                if (peer_) peer_->abort();
                peer_ = s;
                ex_ = FrameExtractor();
                ++connections;
                connect(s, &QTcpSocket::readyRead, this, [this, s] { onRead(s); });
                if (autoLogon) send("#USER?");
            }
        });
    }

    quint16 port() const { return server_.serverPort(); }
    QTcpSocket* peer() const { return peer_; }
    bool connected() const { return peer_ && peer_->state() == QAbstractSocket::ConnectedState; }

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
    void resetPeer() {
        if (!peer_) return;
        const linger lg{1, 0};
        ::setsockopt(int(peer_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        peer_->abort();
    }
    int count(const QByteArray& message) const { return int(received.count(message)); }

protected:
    // Whatever is not part of the logon dialogue.
    virtual void onMessage(const QByteArray&) {}

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
        if (!autoLogon) return onMessage(m);
        if (m.startsWith('!')) {
            user_ = m.mid(1);
            send("#PASS?");
        } else if (m.startsWith('^')) {
            pass_ = m.mid(1);
            send("#TIPO?");
        } else if (m == "&1") {
            send(user_ == user && pass_ == password ? "#L" : "#O");
        } else {
            onMessage(m);
        }
    }

    QTcpServer server_;
    QPointer<QTcpSocket> peer_;
    FrameExtractor ex_;
    QByteArray user_, pass_;
};

} // namespace qxd
