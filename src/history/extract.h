// Unpacking of a historic archive (zip) into the historic folder.
//
// Every entry goes into the folder under its own name; subfolders are made
// as needed and an existing file of the same name is replaced once the entry
// has been written whole (until then it is written to a hidden name beside
// it, "." + name + ".qxdpart"). Nothing is
// ever written outside the folder: an entry whose name is absolute or holds
// a ".." part, a link, a device or anything but a plain file or folder is
// not written, and existing links inside the folder are not followed. Such
// an entry, a corrupt or truncated archive and a write that fails make the
// result non-zero with a description; the entries before it stay written,
// the entry it stopped in is not, and a file of its name stays as it was.
//
// Bounds against archives that expand far beyond their size: at most
// Limits::maxEntries entries, and at most Limits::maxTotalBytes written in
// all, and no more than Limits::maxRatio times the archive's own size plus
// Limits::slackBytes.
#pragma once

#include <QString>

#include <cstdint>

namespace qxd {

struct ExtractLimits {
    std::int64_t maxEntries = 10000;
    std::int64_t maxTotalBytes = std::int64_t(4) << 30;
    std::int64_t maxRatio = 200;
    std::int64_t slackBytes = std::int64_t(64) << 20;
};

struct ExtractResult {
    enum Code : int {
        Ok = 0,
        CannotOpen = 1,
        Corrupt = 2,
        UnsafeEntry = 3,
        TooLarge = 4,
        WriteFailed = 5,
    };
    int code = Ok;
    QString description;
    std::int64_t entries = 0; // entries written
    std::int64_t bytes = 0;   // bytes written
};

ExtractResult ExtractArchive(const QString& archive, const QString& folder,
                             const ExtractLimits& limits = {});

} // namespace qxd
