// Both protocol sessions without the window, sockets or an event loop: fake
// transports, a timer that only records, a panel that records what the
// window would show, and a yield the test scripts.
#pragma once

#include "feed/session.h"
#include "history/session.h"
#include "support/fake_socket.h"

#include <QByteArray>
#include <QList>

#include <functional>

namespace qxd {

struct FakeTimer final : SessionTimer {
    bool active = false;
    int interval = 0;
    void start(int ms) override {
        active = true;
        interval = ms;
    }
    void stop() override { active = false; }
    void setInterval(int ms) override { interval = ms; }
    bool isActive() const override { return active; }
};

// Stands in for the automation side: records each hand-off.
struct RecordingHost : HandOffListener {
    QList<int> kinds;
    QList<QByteArray> texts;
    QList<QByteArray> symbols;
    std::function<void(const HandOff&)> react;
    void handOff(const HandOff& h) override {
        kinds.append(h.vType);
        texts.append(h.Data());
        symbols.append(h.vSimbolo);
        if (react) react(h);
    }
};

// What the window would show and do, as plain values.
struct RecordingPanel final : FeedPanel, HistoricPanel {
    QByteArray host = "127.0.0.1", port = "1400", user = "trader", pass = "pw";
    bool reconnect = false;
    QByteArray status, message = "Label2", last, logonCaption = "Logon", caption, clients;
    std::int32_t received = 0, historicReceived = 0;
    qsizetype bufferLeft = 0;
    bool overloaded = false, logoffHistVisible = false, stoppedReading = false;
    QList<QByteArray> notes, serverNotes;
    QList<QByteArray> ended; // each download's end: "ok " or "-- ", then the reason
    int logonsStarted = 0;
    std::function<void(const QByteArray&)> onNote;

    QByteArray serverHost() const override { return host; }
    QByteArray serverPort() const override { return port; }
    QByteArray historicHost() const override { return host; }
    QByteArray historicPort() const override { return port; }
    QByteArray userName() const override { return user; }
    QByteArray password() const override { return pass; }
    bool reconnectTicked() const override { return reconnect; }
    void setStatusLine(const QByteArray& t) override { status = t; }
    void setMessageLine(const QByteArray& t) override { message = t; }
    void setLastMessage(const QByteArray& t) override { last = t; }
    void setLogonCaption(const QByteArray& t) override { logonCaption = t; }
    void setCaption(const QByteArray& t) override { caption = t; }
    void setClients(const QByteArray& t) override { clients = t; }
    void setReceived(std::int32_t n) override { received = n; }
    void setHistoricReceived(std::int32_t n) override { historicReceived = n; }
    void setBufferLeft(qsizetype n) override { bufferLeft = n; }
    void setOverloaded(bool o) override { overloaded = o; }
    void setLogoffHistVisible(bool v) override { logoffHistVisible = v; }
    void showNote(const QByteArray& t) override {
        notes.append(t);
        if (onNote) onNote(t);
    }
    void serverNote(const QByteArray& t) override { serverNotes.append(t); }
    void downloadEnded(const QByteArray&, float, bool ok, const QByteArray& reason) override {
        ended.append((ok ? "ok " : "-- ") + reason);
    }
    void repaintNow() override {}
    void focusUserName() override {}
    void logonStarted() override { ++logonsStarted; }
    void chunkRead(qint64) override {}
    void readingStopped() override { stoppedReading = true; }
};

struct SessionRig {
    FakeSocket feedSocket, historicSocket;
    FeedSender sender{feedSocket};
    HandOff handoff;
    FakeTimer reconnectTimer;
    RecordingPanel panel;
    std::function<void()> onYield; // what runs in a yield
    int yields = 0;
    FeedSession feed{feedSocket, sender, handoff, reconnectTimer, panel, [this] {
                         ++yields;
                         if (onYield) onYield();
                     }};
    HistoricSession history{historicSocket, sender, handoff, panel, [this] {
                                ++yields;
                                if (onYield) onYield();
                            }};

    SessionRig() { feedSocket.state = historicSocket.state = SocketComponent::Open; }

    // Bytes arrive on the feed or the historic socket.
    void arrive(const QByteArray& bytes) {
        feedSocket.waiting += bytes;
        feed.readable();
    }
    void arriveHistoric(const QByteArray& bytes) {
        historicSocket.waiting += bytes;
        history.readable();
    }

    // The messages the client wrote on a socket, unframed.
    static QList<QByteArray> written(const FakeSocket& s) {
        QList<QByteArray> out;
        for (const QByteArray& f : s.sent) {
            FrameExtractor ex;
            qsizetype left = 0;
            out.append(ex.extract(f, left).toByteArray());
        }
        return out;
    }
};

} // namespace qxd
