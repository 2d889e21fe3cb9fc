// Private-profile files: "[section]" lines and "key=value" lines.
//
// Section and key names match without regard to ASCII case and with blanks
// around them ignored. A value is the text after the first "=", with blanks
// around it and one pair of surrounding double quotes removed. Lines end in
// LF or CRLF; a line without "=" is no key, and neither is a line starting
// with ";". A write replaces the key's line in place, or adds the key after
// the last line of its section, or adds the section at the end of the file,
// and keeps every other line byte for byte, its line end included. The file is replaced whole
// through a new file and a rename, so a crash or a full disk cannot leave it cut short.
#pragma once

#include <QByteArray>
#include <QString>

#include <utility>
#include <vector>

namespace qxd {

// Characters a read returns at most (a buffer of 128 with its terminator).
constexpr qsizetype ProfileReadMax = 127;

class ProfileText {
public:
    explicit ProfileText(QByteArray content = {});

    // The value, or `def` when the key is missing; cut to ProfileReadMax.
    QByteArray read(QByteArrayView section, QByteArrayView key, QByteArrayView def) const;
    void write(QByteArrayView section, QByteArrayView key, QByteArrayView value);

    QByteArray content() const;

private:
    // Index of the section's header line, -1 if missing.
    qsizetype findSection(QByteArrayView section) const;
    // Index of the key's line inside the section starting after `header`.
    qsizetype findKey(qsizetype header, QByteArrayView key) const;
    qsizetype sectionEnd(qsizetype header) const; // first line of the next section

    void insertLine(qsizetype at, const QByteArray& line);

    std::vector<QByteArray> lines_; // without line ends
    std::vector<QByteArray> ends_;  // each line's own end: LF, CRLF, or none at the very end
    QByteArray eol_ = "\n";         // for new lines: the file's first line end
};

struct ProfileWrite {
    QByteArray section, key, value;
};

// The most of a settings file that is read.
constexpr qint64 MaxProfileBytes = 1 << 20;

// Reads the file up to MaxProfileBytes; a missing or unreadable file reads
// as empty.
QByteArray ReadProfileFile(const QString& path);

// Applies the writes in order and replaces the file; the folder is created
// when missing. Returns an empty text on success, else what went wrong (the
// old file is then left as it was: also when it cannot be read whole).
QString WriteProfileFile(const QString& path, const std::vector<ProfileWrite>& writes);

} // namespace qxd
