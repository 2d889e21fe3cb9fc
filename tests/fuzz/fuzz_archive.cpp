// Archive extraction over arbitrary bytes: whatever the archive holds,
// nothing is written outside the folder, the bounds hold and the result
// accounts for what was written.
#include "check.h"
#include "history/extract.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

using namespace qxd;

namespace {
QTemporaryDir* dir = nullptr;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!dir) {
        dir = new QTemporaryDir;
        // libFuzzer ends a run with exit(): the folder goes with it, by bytes.
        std::atexit([] {
            std::filesystem::remove_all(QFile::encodeName(dir->path()).toStdString());
            delete std::exchange(dir, nullptr);
        });
    }
    const QString base = dir->path();
    const QString archive = base + "/in.zip";
    const QString folder = base + "/out";
    QDir().mkpath(folder);
    {
        QFile f(archive);
        CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    ExtractLimits limits;
    limits.maxEntries = 50;
    limits.maxTotalBytes = 8 << 20;
    limits.maxRatio = 100;
    limits.slackBytes = 1 << 20;
    const ExtractResult r = ExtractArchive(archive, folder, limits);
    CHECK((r.code == ExtractResult::Ok) == r.description.isEmpty());
    CHECK(r.entries <= limits.maxEntries);

    // Only the archive and the folder beside each other; inside the folder
    // plain files and folders, no more bytes than the bounds allow. Names are
    // the archive's bytes, not always UTF-8, so the walk and the clean-up go
    // by bytes, not through QString.
    namespace fs = std::filesystem;
    const fs::path top(QFile::encodeName(base).toStdString()), out = top / "out";
    std::vector<std::string> beside;
    for (const fs::directory_entry& e : fs::directory_iterator(top))
        beside.push_back(e.path().filename().string());
    std::sort(beside.begin(), beside.end());
    CHECK((beside == std::vector<std::string>{"in.zip", "out"}));
    qint64 bytes = 0;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(out)) {
        CHECK(!e.is_symlink() && (e.is_regular_file() || e.is_directory()));
        if (e.is_regular_file()) bytes += qint64(e.file_size());
    }
    CHECK(bytes <= limits.maxTotalBytes);
    CHECK(bytes <= limits.maxRatio * qint64(size) + limits.slackBytes);
    fs::remove_all(out);
    return 0;
}
