// Builds zip archives in memory: the simulator's archives, and hostile ones
// for tests.
#pragma once

#include <QByteArray>
#include <QList>

#include <archive.h>
#include <archive_entry.h>

namespace qxd {

struct ZipEntry {
    enum Kind { File, Dir, Symlink };
    ZipEntry(QByteArray n = {}, QByteArray d = {}, Kind k = File, QByteArray t = {})
        : name(std::move(n))
        , data(std::move(d))
        , kind(k)
        , target(std::move(t)) {}
    QByteArray name;
    QByteArray data;
    Kind kind = File;
    QByteArray target; // of a link
};

// `store`: entries kept as they are, without compression.
inline QByteArray MakeZip(const QList<ZipEntry>& entries, bool store = false) {
    QByteArray out;
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    if (store) archive_write_set_format_option(a, "zip", "compression", "store");
    archive_write_set_bytes_in_last_block(a, 1); // no padding after the archive
    archive_write_open(
        a, &out, nullptr,
        [](archive*, void* ctx, const void* buf, size_t n) -> la_ssize_t {
            static_cast<QByteArray*>(ctx)->append(static_cast<const char*>(buf), qsizetype(n));
            return la_ssize_t(n);
        },
        nullptr);
    for (const ZipEntry& z : entries) {
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, z.name.constData());
        switch (z.kind) {
        case ZipEntry::File:
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_perm(e, 0644);
            archive_entry_set_size(e, z.data.size());
            break;
        case ZipEntry::Dir:
            archive_entry_set_filetype(e, AE_IFDIR);
            archive_entry_set_perm(e, 0755);
            break;
        case ZipEntry::Symlink:
            archive_entry_set_filetype(e, AE_IFLNK);
            archive_entry_set_perm(e, 0777);
            archive_entry_set_symlink(e, z.target.constData());
            break;
        }
        archive_write_header(a, e);
        if (z.kind == ZipEntry::File && !z.data.isEmpty())
            archive_write_data(a, z.data.constData(), size_t(z.data.size()));
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    return out;
}

} // namespace qxd
