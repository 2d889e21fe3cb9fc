// The historic session over arbitrary bytes, in the middle of a download:
// the receive loop in both modes, the dispatcher, the archive file and its
// extraction into the historic folder. Nothing may appear beside the folder.
#include "check.h"
#include "support/session_rig.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <filesystem>
#include <utility>

using namespace qxd;

namespace {
QTemporaryDir* dataDir = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dataDir = new QTemporaryDir;
    QDir().mkpath(dataDir->path() + "/indataqx");
    // libFuzzer ends a run with exit(): the folder goes with it. Names a
    // server sent are bytes, not always UTF-8, so it is removed by bytes.
    std::atexit([] {
        std::filesystem::remove_all(QFile::encodeName(dataDir->path()).toStdString());
        delete std::exchange(dataDir, nullptr);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider p(data, size);
    {
        SessionRig rig;
        rig.handoff.Diretorio = QFile::encodeName(dataDir->path()) + "/";
        HistoricSession& hist = rig.history;
        hist.list.queue("PETR4", 1, 37988, 38169);
        rig.historicSocket.state = SocketComponent::Closed;
        hist.schedulerTick(); // the download of PETR4 is in progress
        rig.historicSocket.state = SocketComponent::Open;
        CHECK(hist.currentItem() == 1);
        const bool direct = p.ConsumeBool();
        while (p.remaining_bytes() > 0) {
            const std::string chunk =
                p.ConsumeBytesAsString(p.ConsumeIntegralInRange<size_t>(1, 6000));
            const QByteArray bytes(chunk.data(), qsizetype(chunk.size()));
            if (direct)
                for (const QByteArray& line : bytes.split('\n')) hist.dispatch(line);
            else
                rig.historicSocket.arrive(bytes);
        }
    }
    const QStringList beside =
        QDir(dataDir->path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    CHECK(beside == QStringList{QStringLiteral("indataqx")});
    QDir(dataDir->path() + "/indataqx").removeRecursively();
    QDir().mkpath(dataDir->path() + "/indataqx");
    return 0;
}
