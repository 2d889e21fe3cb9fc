// A client with a recording host, against a real scripted feed server.
#pragma once

#include "app/client_core.h"
#include "support/feed_server.h"

#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace qxd {

// Stands in for the automation side: records each hand-off.
struct Host : HandOffListener {
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

// A client against a real scripted server.
struct Live {
    QTemporaryDir dir;
    ScriptedServer server;
    std::unique_ptr<ClientCore> c;
    Host host;
    explicit Live(int timer1 = 100000) {
        ClientOptions o;
        o.settingsPath = dir.path() + "/QXDATA.INI";
        o.timing.reconnectMs = timer1;
        c = std::make_unique<ClientCore>(std::move(o));
        c->messageBox = [](const QByteArray&) {};
        c->ensureLoaded();
        c->controls.serverHost = "127.0.0.1";
        c->controls.serverPort = QByteArray::number(server.port());
        c->controls.userName = "trader";
        c->controls.password = "pw";
        c->handoff.bind(&host);
    }
    FeedSession& feed() { return c->feed; }
    bool logOn() {
        feed().logonButton();
        return QTest::qWaitFor([&] { return feed().loggedOn(); }, 5000);
    }
};

} // namespace qxd
