// A socket component that records what is sent and lets a test raise its
// events by hand.
#pragma once

#include "wire/socket.h"

#include <QList>
#include <functional>

namespace qxd {

class FakeSocket : public SocketComponent {
public:
    int state = Closed;
    QList<QByteArray> sent;
    QByteArray waiting; // what GetData returns next
    int connects = 0;
    int closes = 0;
    int rearms = 0;
    SocketFailure connectFailure; // returned by Connect when set
    std::function<void(QByteArrayView)> onSend;

    int State() const override { return state; }
    SocketFailure Connect() override {
        ++connects;
        if (connectFailure) return connectFailure;
        state = Connecting;
        return {};
    }
    void Close() override {
        ++closes;
        state = Closed;
    }
    SocketFailure SendData(QByteArrayView data) override {
        if (onSend) onSend(data);
        if (state != Open) return {40006, QStringLiteral("not connected")};
        sent.append(data.toByteArray());
        return {};
    }
    QByteArray GetData(qsizetype keep = KeepAll) override {
        QByteArray d = std::exchange(waiting, {});
        lastRead_ = d.size();
        if (d.size() > keep) d.truncate(keep);
        return d;
    }
    void Rearm() override { ++rearms; }

    // Test side: deliver bytes as an arrival event.
    void arrive(const QByteArray& bytes) {
        waiting += bytes;
        emit dataArrival(waiting.size());
    }
};

} // namespace qxd
