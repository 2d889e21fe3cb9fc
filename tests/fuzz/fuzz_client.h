// A client offscreen with fake sockets, for the targets that drive its
// receive loops and dispatchers.
#pragma once

#include "app/qxdclient.h"
#include "check.h"
#include "support/fake_socket.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <utility>

namespace qxd::fuzz {

struct Counter : HandOffListener {
    int events = 0;
    void handOff(const HandOff&) override { ++events; }
};

inline QTemporaryDir* dataDir = nullptr;

inline void start(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false;*.warning=false");
    new QApplication(*argc, *argv);
    dataDir = new QTemporaryDir;
    QDir().mkpath(dataDir->path() + "/indataqx");
    // libFuzzer ends a run with exit(): the folder goes with it, not left
    // behind after every run. Names a server sent are bytes, not always
    // UTF-8, so it is removed by bytes.
    std::atexit([] {
        std::filesystem::remove_all(QFile::encodeName(dataDir->path()).toStdString());
        delete std::exchange(dataDir, nullptr);
    });
}

// One fresh client per input, so a finding replays alone.
struct Client {
    FakeSocket* sock = new FakeSocket;
    FakeSocket* sockhist = new FakeSocket;
    std::unique_ptr<QXDClient> c;
    Counter host;
    Client() {
        ClientOptions o;
        o.settingsPath = dataDir->path() + "/QXDATA.INI";
        o.timing.timer1 = 3600000;
        o.timing.timerHist = 3600000;
        o.sock.reset(sock);
        o.sockhist.reset(sockhist);
        c = std::make_unique<QXDClient>(std::move(o));
        c->messageBox = [](const QByteArray&) {};
        c->handoff.Diretorio = QFile::encodeName(dataDir->path()) + "/";
        c->handoff.bind(&host);
        sock->state = sockhist->state = SocketComponent::Open;
    }
};

} // namespace qxd::fuzz

// Each target that includes this is one translation unit: the fuzzer's
// start-up hook lives here.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qxd::fuzz::start(argc, argv);
    return 0;
}
