// Archive extraction over arbitrary bytes: whatever the archive holds,
// nothing is written outside the folder, the bounds hold and the result
// accounts for what was written.
#include "check.h"
#include "history/extract.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdlib>

using namespace qxd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir* dir = new QTemporaryDir;
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
    // plain files and folders, no more bytes than the bounds allow.
    CHECK(QDir(base).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                               QDir::System) == (QStringList{"in.zip", "out"}));
    qint64 bytes = 0;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo fi(it.next());
        CHECK(!fi.isSymLink() && (fi.isFile() || fi.isDir()));
        if (fi.isFile()) bytes += fi.size();
    }
    CHECK(bytes <= limits.maxTotalBytes);
    CHECK(bytes <= limits.maxRatio * qint64(size) + limits.slackBytes);
    QDir(folder).removeRecursively();
    return 0;
}
