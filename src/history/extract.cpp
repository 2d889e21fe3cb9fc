#include "history/extract.h"

#include "wire/convert.h"

#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qxd {

namespace {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f)
        : fd(f) {}
    Fd(Fd&& o) noexcept
        : fd(std::exchange(o.fd, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        reset();
        fd = std::exchange(o.fd, -1);
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// The name split into its parts; empty when it may not be written.
QList<QByteArray> safeParts(const char* name) {
    if (!name || !*name || name[0] == '/') return {};
    QList<QByteArray> parts;
    for (const QByteArray& p : QByteArray(name).split('/')) {
        if (p.isEmpty() || p == ".") continue;
        if (p == "..") return {};
        parts.append(p);
    }
    return parts;
}

// Opens (making when missing) the folders `parts` below `root`, never
// following a link.
Fd openDirs(int root, const QList<QByteArray>& parts, qsizetype count, int* err) {
    Fd cur(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (qsizetype i = 0; i < count; ++i) {
        int next =
            ::openat(cur.fd, parts[i].constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT) {
            if (::mkdirat(cur.fd, parts[i].constData(), 0755) != 0 && errno != EEXIST) {
                *err = errno;
                return {};
            }
            next = ::openat(cur.fd, parts[i].constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            *err = errno;
            return {};
        }
        cur = Fd(next);
    }
    return cur;
}

bool writeAll(int fd, const char* p, std::size_t n, std::int64_t at) {
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, at);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= std::size_t(w);
        at += w;
    }
    return true;
}

} // namespace

ExtractResult ExtractArchive(const QString& archivePath, const QString& folder,
                             const ExtractLimits& limits) {
    ExtractResult r;
    auto fail = [&r](int code, const QString& text) {
        if (r.code == ExtractResult::Ok) {
            r.code = code;
            r.description = text;
        }
    };

    Fd root(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.fd < 0) {
        fail(ExtractResult::CannotOpen,
             QStringLiteral("Cannot open the folder %1: %2").arg(folder, ErrnoText(errno)));
        return r;
    }
    const std::int64_t archiveSize = QFileInfo(archivePath).size();
    if (archiveSize <= 0) {
        fail(ExtractResult::Corrupt,
             QStringLiteral("The archive %1 is empty or missing").arg(archivePath));
        return r;
    }
    const std::int64_t budget =
        std::min(limits.maxTotalBytes, archiveSize * limits.maxRatio + limits.slackBytes);

    archive* a = archive_read_new();
    // The seekable reader goes by the central directory at the end, so a
    // truncated archive is found out before anything is written.
    archive_read_support_format_zip_seekable(a);
    if (archive_read_open_filename(a, QFile::encodeName(archivePath).constData(), 1 << 16) !=
        ARCHIVE_OK) {
        fail(ExtractResult::Corrupt,
             QStringLiteral("Not a readable zip archive %1: %2")
                 .arg(archivePath, QString::fromLocal8Bit(archive_error_string(a))));
        archive_read_free(a);
        return r;
    }

    std::int64_t seen = 0;
    archive_entry* e = nullptr;
    int rc;
    while ((rc = archive_read_next_header(a, &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
        const char* name = archive_entry_pathname(e);
        const QString shown = QString::fromLocal8Bit(name ? name : "");
        if (++seen > limits.maxEntries) {
            fail(ExtractResult::TooLarge,
                 QStringLiteral("The archive holds more than %1 entries").arg(limits.maxEntries));
            break;
        }
        const mode_t type = archive_entry_filetype(e);
        const QList<QByteArray> parts = safeParts(name);
        const bool link = archive_entry_hardlink(e) || archive_entry_symlink(e) || type == AE_IFLNK;
        if (parts.isEmpty() || link || (type != AE_IFREG && type != AE_IFDIR)) {
            fail(ExtractResult::UnsafeEntry,
                 QStringLiteral("Entry \"%1\" not extracted: %2")
                     .arg(shown, parts.isEmpty()
                                     ? QStringLiteral("its name leads outside the folder")
                                     : QStringLiteral("not a plain file or folder")));
            archive_read_data_skip(a);
            continue;
        }
        int err = 0;
        if (type == AE_IFDIR) {
            if (openDirs(root.fd, parts, parts.size(), &err).fd < 0)
                fail(ExtractResult::WriteFailed,
                     QStringLiteral("Cannot make folder \"%1\": %2").arg(shown, ErrnoText(err)));
            continue;
        }
        Fd dir = openDirs(root.fd, parts, parts.size() - 1, &err);
        // The entry is written beside its name and takes the name only when
        // it is whole, so that a file of that name (an older series) outlives
        // a failure. A link or folder of that name is not replaced.
        const QByteArray& leaf = parts.last();
        const QByteArray part = "." + leaf.left(NAME_MAX - 10) + ".qxdpart";
        Fd out;
        if (dir.fd >= 0) {
            struct stat st;
            if (::fstatat(dir.fd, leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISREG(st.st_mode)) {
                err = S_ISLNK(st.st_mode) ? ELOOP : EISDIR;
            } else {
                ::unlinkat(dir.fd, part.constData(), 0); // left by an earlier run
                out = Fd(::openat(dir.fd, part.constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
            }
        }
        if (out.fd < 0) {
            if (!err) err = errno;
            fail(ExtractResult::WriteFailed,
                 QStringLiteral("Cannot write \"%1\": %2").arg(shown, ErrnoText(err)));
            archive_read_data_skip(a);
            continue;
        }
        const void* buf = nullptr;
        size_t len = 0;
        la_int64_t offset = 0;
        int drc;
        bool stop = false;
        while ((drc = archive_read_data_block(a, &buf, &len, &offset)) == ARCHIVE_OK) {
            if (offset + std::int64_t(len) > budget || r.bytes + std::int64_t(len) > budget) {
                fail(ExtractResult::TooLarge,
                     QStringLiteral("The archive expands beyond %1 bytes; extraction stopped")
                         .arg(budget));
                stop = true;
                break;
            }
            if (!writeAll(out.fd, static_cast<const char*>(buf), len, offset)) {
                fail(ExtractResult::WriteFailed,
                     QStringLiteral("Cannot write \"%1\": %2").arg(shown, ErrnoText(errno)));
                stop = true;
                break;
            }
            r.bytes += std::int64_t(len);
        }
        // An entry cut short (bound, failed write, corrupt data) never takes
        // its name.
        if (!stop && drc == ARCHIVE_EOF &&
            ::renameat(dir.fd, part.constData(), dir.fd, leaf.constData()) != 0) {
            fail(ExtractResult::WriteFailed,
                 QStringLiteral("Cannot write \"%1\": %2").arg(shown, ErrnoText(errno)));
            stop = true;
        }
        if (stop || drc != ARCHIVE_EOF) ::unlinkat(dir.fd, part.constData(), 0);
        if (stop) break;
        if (drc != ARCHIVE_EOF) {
            fail(ExtractResult::Corrupt,
                 QStringLiteral("Corrupt archive at \"%1\": %2")
                     .arg(shown, QString::fromLocal8Bit(archive_error_string(a))));
            break;
        }
        ++r.entries;
    }
    if (rc != ARCHIVE_EOF && rc != ARCHIVE_OK && rc != ARCHIVE_WARN)
        fail(ExtractResult::Corrupt, QStringLiteral("Corrupt archive: %1")
                                         .arg(QString::fromLocal8Bit(archive_error_string(a))));
    archive_read_free(a);
    return r;
}

} // namespace qxd
