#include "app/profile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace qxd {

namespace {

QByteArrayView trimBlanks(QByteArrayView s) {
    qsizetype b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.sliced(b, e - b);
}

bool sameName(QByteArrayView a, QByteArrayView b) {
    return a.size() == b.size() && a.compare(b, Qt::CaseInsensitive) == 0;
}

// The name of a "[name]" line, or nothing.
bool sectionName(QByteArrayView line, QByteArrayView* name) {
    const QByteArrayView t = trimBlanks(line);
    if (!t.startsWith('[')) return false;
    const qsizetype close = t.indexOf(']');
    if (close < 0) return false;
    *name = trimBlanks(t.sliced(1, close - 1));
    return true;
}

bool keyName(QByteArrayView line, QByteArrayView* name, QByteArrayView* value) {
    const qsizetype eq = line.indexOf('=');
    if (eq < 0) return false;
    const QByteArrayView k = trimBlanks(line.first(eq));
    if (k.startsWith(';') || k.startsWith('[')) return false;
    *name = k;
    if (value) {
        QByteArrayView v = trimBlanks(line.sliced(eq + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.sliced(1, v.size() - 2);
        *value = v;
    }
    return true;
}

} // namespace

ProfileText::ProfileText(QByteArray content) {
    if (content.isEmpty()) return;
    const qsizetype firstLf = content.indexOf('\n');
    if (firstLf > 0 && content[firstLf - 1] == '\r') eol_ = "\r\n";
    qsizetype start = 0;
    while (start < content.size()) {
        qsizetype lf = content.indexOf('\n', start);
        const bool ended = lf >= 0;
        if (!ended) lf = content.size();
        qsizetype end = lf;
        if (ended && end > start && content[end - 1] == '\r') --end;
        lines_.push_back(content.mid(start, end - start));
        ends_.push_back(content.mid(end, lf + (ended ? 1 : 0) - end));
        start = lf + 1;
    }
}

QByteArray ProfileText::content() const {
    QByteArray out;
    for (std::size_t i = 0; i < lines_.size(); ++i) out += lines_[i] + ends_[i];
    return out;
}

void ProfileText::insertLine(qsizetype at, const QByteArray& line) {
    // A last line without its line end gets one when a line follows it. Its
    // own CR at the end stays text: with "\n" after it, it would become the
    // line end and leave the line's value.
    if (at == qsizetype(lines_.size()) && at > 0 && ends_.back().isEmpty())
        ends_.back() = lines_.back().endsWith('\r') ? QByteArray("\r\n") : eol_;
    lines_.insert(lines_.begin() + at, line);
    ends_.insert(ends_.begin() + at, eol_);
}

qsizetype ProfileText::findSection(QByteArrayView section) const {
    const QByteArrayView want = trimBlanks(section);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        QByteArrayView name;
        if (sectionName(lines_[i], &name) && sameName(name, want)) return qsizetype(i);
    }
    return -1;
}

qsizetype ProfileText::sectionEnd(qsizetype header) const {
    for (std::size_t i = header + 1; i < lines_.size(); ++i) {
        QByteArrayView name;
        if (sectionName(lines_[i], &name)) return qsizetype(i);
    }
    return qsizetype(lines_.size());
}

qsizetype ProfileText::findKey(qsizetype header, QByteArrayView key) const {
    const QByteArrayView want = trimBlanks(key);
    const qsizetype end = sectionEnd(header);
    for (qsizetype i = header + 1; i < end; ++i) {
        QByteArrayView name;
        if (keyName(lines_[i], &name, nullptr) && sameName(name, want)) return i;
    }
    return -1;
}

QByteArray ProfileText::read(QByteArrayView section, QByteArrayView key, QByteArrayView def) const {
    QByteArrayView v = def;
    const qsizetype s = findSection(section);
    if (s >= 0) {
        const qsizetype k = findKey(s, key);
        if (k >= 0) {
            QByteArrayView name;
            keyName(lines_[k], &name, &v);
        }
    }
    return v.first(std::min(v.size(), ProfileReadMax)).toByteArray();
}

void ProfileText::write(QByteArrayView section, QByteArrayView key, QByteArrayView value) {
    // A line end inside a value would break the file: the value ends there.
    qsizetype cut = value.size();
    for (qsizetype i = 0; i < value.size(); ++i)
        if (value[i] == '\n' || value[i] == '\r') {
            cut = i;
            break;
        }
    const QByteArray line = trimBlanks(key).toByteArray() + '=' + value.first(cut).toByteArray();
    qsizetype s = findSection(section);
    if (s < 0) {
        if (!lines_.empty() && !trimBlanks(lines_.back()).isEmpty())
            insertLine(qsizetype(lines_.size()), {});
        insertLine(qsizetype(lines_.size()), '[' + trimBlanks(section).toByteArray() + ']');
        insertLine(qsizetype(lines_.size()), line);
        return;
    }
    const qsizetype k = findKey(s, key);
    if (k >= 0) {
        lines_[k] = line; // its own line end stays
        return;
    }
    // After the last non-blank line of the section.
    qsizetype at = sectionEnd(s);
    while (at > s + 1 && trimBlanks(lines_[at - 1]).isEmpty()) --at;
    insertLine(at, line);
}

QByteArray ReadProfileFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    // A settings file is small; anything past a megabyte is not read.
    return f.read(MaxProfileBytes);
}

QString WriteProfileFile(const QString& path, const std::vector<ProfileWrite>& writes) {
    // The file is rewritten whole, so every line of it must have been read:
    // a file that cannot be read, or only in part, is left as it is.
    QByteArray old;
    if (QFile f(path); f.exists()) {
        if (f.open(QIODevice::ReadOnly)) old = f.read(MaxProfileBytes + 1);
        if (f.error() != QFileDevice::NoError)
            return QStringLiteral("Cannot read the settings file %1: %2")
                .arg(path, f.errorString());
        if (old.size() > MaxProfileBytes)
            return QStringLiteral("The settings file %1 is over %2 bytes and was not rewritten")
                .arg(path)
                .arg(MaxProfileBytes);
    }
    ProfileText text(old);
    for (const auto& w : writes) text.write(w.section, w.key, w.value);
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return QStringLiteral("Cannot create the settings folder %1").arg(info.absolutePath());
    QSaveFile f(path);
    // Unbuffered, so a short write (a full disk) shows in write()'s count:
    // through the buffer it went unnoticed and the cut file was committed.
    if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return QStringLiteral("Cannot write the settings file %1: %2").arg(path, f.errorString());
    const QByteArray out = text.content();
    if (f.write(out) != out.size() || !f.commit())
        return QStringLiteral("Cannot write the settings file %1: %2").arg(path, f.errorString());
    return {};
}

} // namespace qxd
