// The historic side over arbitrary bytes, in the middle of a download: the
// receive loop in both modes, the dispatcher, the archive file and its
// extraction into the historic folder. Nothing may appear beside the folder.
#include "fuzz_client.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace qxd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider p(data, size);
    {
        fuzz::Client f;
        HistoricConnection& hist = f.c->hist;
        hist.list.RequestHistoricData("PETR4", 1, 37988, 38169);
        hist.CurIndex = 1;
        hist.CurSymbol = "PETR4";
        hist.CurTy = 1;
        const bool direct = p.ConsumeBool();
        while (p.remaining_bytes() > 0) {
            const std::string chunk =
                p.ConsumeBytesAsString(p.ConsumeIntegralInRange<size_t>(1, 6000));
            const QByteArray bytes(chunk.data(), qsizetype(chunk.size()));
            if (direct)
                for (const QByteArray& line : bytes.split('\n')) hist.ProcessDataHist(line);
            else
                f.sockhist->arrive(bytes);
        }
    }
    const QStringList beside =
        QDir(fuzz::dataDir->path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    CHECK(beside == QStringList{QStringLiteral("indataqx")} ||
          beside == (QStringList{QStringLiteral("QXDATA.INI"), QStringLiteral("indataqx")}));
    QDir(fuzz::dataDir->path() + "/indataqx").removeRecursively();
    QDir().mkpath(fuzz::dataDir->path() + "/indataqx");
    return 0;
}
