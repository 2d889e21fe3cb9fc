#include "history/historic.h"

#include "app/qxdclient.h"
#include "wire/convert.h"
#include "wire/pack.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QThreadPool>
#include <utility>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/uio.h>
#include <unistd.h>

namespace qxd {

namespace {

QByteArray rest(const QByteArray& s, qsizetype k) {
    return s.size() > k ? s.sliced(k) : QByteArray();
}

QString errnoText(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
}

// A series or an archive is tens of megabytes in the page cache, which the
// kernel frees when the file's last name and last descriptor go: some 20 ms
// for 100 MB, long enough to hold up the real-time feed on this thread. The
// file is held open across the unlink, and that last descriptor is closed
// on a pool thread.
void closeLater(int fd) {
    if (fd >= 0) QThreadPool::globalInstance()->start([fd] { ::close(fd); });
}

int openToRelease(const QString& path) {
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
}

// Archive data go to the file in batches of about this size (far fewer
// system calls than chunks, and a batch still in the caches), in at most
// this many pieces (well inside the system's limit for one writev).
constexpr qsizetype FlushBytes = 256 * 1024;
constexpr std::size_t MaxPieces = 64;

void removeLater(const QString& path) {
    const int fd = openToRelease(path);
    QFile::remove(path);
    closeLater(fd);
}

} // namespace

HistoricConnection::HistoricConnection(QXDClient& client)
    : c_(client) {
    connect(&c_.sockhist, &SocketComponent::error, this, &HistoricConnection::sockhist_Error);
    connect(&c_.sockhist, &SocketComponent::dataArrival, this,
            &HistoricConnection::sockhist_DataArrival);
    connect(&c_.TimerHist, &QTimer::timeout, this, &HistoricConnection::TimerHist_Timer);
}

HistoricConnection::~HistoricConnection() {
    writePending();
    if (fd_ >= 0) ::close(fd_);
}

bool HistoricConnection::yield() {
    QPointer<HistoricConnection> self(this);
    QCoreApplication::processEvents();
    return !self.isNull();
}

QString HistoricConnection::folder() const {
    return QFile::decodeName(c_.handoff.Diretorio + "indataqx");
}

QString HistoricConnection::archivePath() const {
    return folder() + QStringLiteral("/ToDecompress.zip");
}

// A file of the historic folder. Names that would lead out of it (a "/"
// inside a symbol or user name) give an empty path: such files are left alone.
QString HistoricConnection::file(const QByteArray& name) const {
    if (name.contains('/') || name.contains('\0') || name.isEmpty()) return {};
    return folder() + QLatin1Char('/') + QFile::decodeName(name);
}

// ---------------------------------------------------------------------------
// Scheduler, error handler, "Logoff Hist"

void HistoricConnection::TimerHist_Timer() {
    if (CurIndex != 0) return;
    if (list.DownListCount() < 1) return;
    const std::int32_t chosen = list.FirstPending();
    if (!chosen) {
        CurIndex = 0;
        list.DownListClear();
        list.resetDates();
        return;
    }
    const DownItem item = list.DownListGet(chosen);
    CurSymbol = TrueTrim(item.S);
    CurTy = item.Ty;
    CurIndex = chosen;

    SocketComponent& s = c_.sockhist;
    s.RemoteHost = QString::fromLatin1(c_.ctl.HistIp);
    if (auto port = ToInt32(Val(c_.ctl.HistPort))) s.RemotePort = *port;
    while (s.State() != SocketComponent::Closed) {
        s.Close();
        c_.ctl.Label1 = "Closing socket hist";
    }
    SocketFailure f = s.Connect();
    if (f) {
        s.Close();
        for (int i = 0; i < 100; ++i) {
            s.Close();
            if (!yield()) return;
        }
        f = s.Connect();
        if (!yield() || !yield()) return;
        c_.ctl.Label1 = f.description.toLatin1();
        c_.repaintNow();
        if (!yield()) return;
    }
    if (f) {
        list.DownListSet({}, 0, CurIndex);
        CurIndex = 0;
        CurSymbol.clear();
        CurTy = 0;
        c_.ctl.loghistVisible = false;
        c_.repaintNow();
    } else {
        c_.ctl.Label1.clear();
        c_.repaintNow();
    }
}

void HistoricConnection::sockhist_Error(int number, const QString& description) {
    if (number == 0) {
        c_.ctl.Label1 = description.toLatin1();
        return;
    }
    if (CurIndex > 0) {
        list.DownListSet({}, 0, CurIndex);
        CurIndex = 0;
    }
    CurSymbol.clear();
    CurTy = 0;
    closeArchive(); // the archive file stays on disk
    c_.sockhist.Close();
    c_.ctl.Label1.clear();
    c_.ctl.loghistVisible = false;
    c_.repaintNow();
    c_.ctl.Label1 = description.toLatin1();
}

void HistoricConnection::loghist_Click() {
    closeArchive();
    if (CurIndex != 0) list.DownListSet({}, 0, CurIndex);
    CurIndex = 0;
    CurSymbol.clear();
    CurTy = 0;
    list.DownListClear();
    c_.ctl.Label1.clear();
    c_.sockhist.Close();
    c_.ctl.loghistVisible = false;
    c_.repaintNow();
}

// ---------------------------------------------------------------------------
// Receive loop

void HistoricConnection::sockhist_DataArrival() {
    if (c_.stopped()) return;
    if (c_.sender.IsSending != 0) {
        // The bytes wait; the socket reports them again once the write is done.
        c_.sockhist.Rearm();
        return;
    }
    // Shared with the extractor, which cuts whole frames straight out of it.
    QByteArray in = c_.sockhist.GetData();
    QPointer<HistoricConnection> self(this);
    for (;;) {
        const std::int16_t m = RawMode;
        qsizetype left = 0;
        const QByteArrayView payload = extractor_.extract(std::exchange(in, QByteArray()), left);
        // A copy: a message box inside can run this loop again and move the buffer.
        const QByteArray message = m != 0 ? payload.toByteArray() : DeCompress(payload);
        c_.ctl.Text1 = message;
        ProcessDataHist(message);
        if (!self || c_.stopped()) return; // a host's handler ended the client
        c_.ReceivedCountHist = c_.ReceivedCountHist == std::numeric_limits<std::int32_t>::max()
                                   ? 1
                                   : c_.ReceivedCountHist + 1;
        c_.ctl.NReceivedH = c_.ReceivedCountHist;
        if (RawMode == m && left == 0) break;
        // A pass that switched the mode is followed by one more in the new mode.
    }
    flushArchive();
}

// ---------------------------------------------------------------------------
// Messages

void HistoricConnection::ProcessDataHist(const QByteArray& s) {
    if (s.startsWith('*')) {
        transferChunk(s);
        return;
    }
    if (s.size() > 2 && s[0] == '#') {
        if (s[1] == 'B' && s[2] == '0') {
            RawMode = 0;
            return;
        }
        if (s[1] == 'B' && s[2] == '1') {
            RawMode = 0;
            closeArchive();
            finishCurrent();
            c_.ctl.Label1 = "Symbol " + rest(s, 2) + " no data";
            endDownload();
            return;
        }
        if (s[1] == 'B') {
            transferMarker(s);
            return;
        }
        if (s[1] == 'E') {
            const QByteArray sym = rest(s, 2);
            if (CurIndex != 0) {
                if (CurSymbol == sym) list.DownListSet({}, 0, CurIndex);
                CurIndex = 0;
                CurSymbol.clear();
                CurTy = 0;
            }
            closeArchive();
            c_.ctl.Label1 = "Symbol " + sym + " does not exist";
            endDownload();
            return;
        }
    }
    if (s == "#USER?") {
        sendHist("!" + TrueTrim(c_.ctl.UserName));
    } else if (s == "#PASS?") {
        sendHist("^" + TrueTrim(c_.ctl.Password));
    } else if (s == "#TIPO?") {
        sendHist("&1");
    } else if (s == "#N") {
        c_.ctl.Label1 = "Server is disconnecting";
        if (HistFile != 0) {
            closeArchive();
            const QDir dir(folder());
            for (const QString& z :
                 dir.entryList({QStringLiteral("*.zip")}, QDir::Files | QDir::CaseSensitive))
                QFile::remove(dir.filePath(z));
            if (!CurSymbol.isEmpty()) {
                QByteArray tmp;
                if (CurTy == 1)
                    tmp = CurSymbol + ".TMPQX1M";
                else if (CurTy == -1)
                    tmp = CurSymbol + ".TMPQXDAY";
                else if (CurTy > 1)
                    tmp = CurSymbol + ".TMPQX" + FormatZero(double(CurTy));
                if (const QString p = file(tmp); !p.isEmpty()) QFile::remove(p);
            }
        }
        if (CurIndex != 0) {
            if (!CurSymbol.isEmpty()) list.DownListSet({}, 0, CurIndex);
            CurIndex = 0;
            CurSymbol.clear();
            CurTy = 0;
        }
        c_.sockhist.Close();
        c_.ctl.Label1.clear();
        c_.ctl.loghistVisible = false;
        c_.repaintNow();
    } else if (s == "#L") {
        c_.ctl.loghistVisible = true;
        c_.repaintNow();
        if (!CurSymbol.isEmpty() && CurIndex > 0 && CurTy != 0) sendRequest();
    } else if (s == "#O") {
        if (CurIndex > 0) {
            list.DownListSet({}, 0, CurIndex);
            CurIndex = 0;
        }
        CurSymbol.clear();
        CurTy = 0;
        closeArchive();
        c_.sockhist.Close();
        c_.ctl.Label1.clear();
        c_.ctl.loghistVisible = false;
        c_.repaintNow();
    } else if (s.startsWith('@')) {
        if (s.size() <= 2) return;
        if (s[1] == '@')
            c_.showMessage(rest(s, 2));
        else
            c_.ctl.Label1 = rest(s, 1);
    } else {
        c_.ctl.Label2 = s;
    }
}

void HistoricConnection::sendHist(const QByteArray& text) {
    // A reply that cannot be sent ends the download as a socket error does.
    if (SocketFailure f = c_.sockhist.SendData(ConverteToSend(text)))
        sockhist_Error(f.number, f.description);
}

void HistoricConnection::sendRequest() {
    if (!QDir(folder()).exists()) {
        abandon("Historic folder " + QFile::encodeName(folder()) + " does not exist");
        return;
    }
    const auto d1 = FormatYYYYMMDD(list.startDate(CurIndex));
    const auto d2 = FormatYYYYMMDD(list.endDate(CurIndex));
    if (!d1 || !d2) {
        abandon("Invalid date in the request for " + CurSymbol);
        return;
    }
    // CurSymbol holds no blanks (TrueTrim took them all); tabs and line
    // ends are part of the symbol and go as they are.
    const QByteArray request =
        "#F" + CurSymbol + ",&I" + FormatZero(double(CurTy)) + ",&D1" + *d1 + ",&D2" + *d2 + ",";
    // A frame cannot carry it, and the server would never answer: the
    // download would hold up every one queued after it.
    if (request.size() > MaxPayload) {
        abandon("The request for " + CurSymbol.left(32) + "... is too long to send");
        return;
    }
    sendHist(request);
}

void HistoricConnection::transferChunk(const QByteArray& s) {
    if (HistFile == 0) {
        HistFile = 1;
        extractionFailed_ = false;
        archiveBytes_ = 0;
        fd_ = ::open(QFile::encodeName(archivePath()).constData(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            const int e = errno;
            abandon(QDir(folder()).exists()
                        ? "Cannot create " + QFile::encodeName(archivePath()) + ": " +
                              errnoText(e).toLatin1()
                        : "Historic folder " + QFile::encodeName(folder()) + " does not exist");
            return;
        }
    } else if (fd_ < 0) {
        // The archive was closed by a failed extraction: the transfer cannot
        // go on into it.
        abandon("Archive data after a failed extraction: download of " + CurSymbol + " ended");
        return;
    }
    const qsizetype p = s.indexOf(',');
    if (p < 0) return;
    const qsizetype q = s.indexOf(',', p + 1);
    if (q < 0 || q == s.size() - 1) return;
    const qsizetype bytes = s.size() - q - 1;
    archiveBytes_ += bytes;
    if (archiveBytes_ > maxArchiveBytes) {
        abandon("The archive for " + CurSymbol + " is over " + FormatZero(maxArchiveBytes) +
                " bytes: download ended");
        QFile::remove(archivePath());
        return;
    }
    pending_.push_back({s, q + 1});
    pendingBytes_ += bytes;
    if (pendingBytes_ >= FlushBytes || pending_.size() >= MaxPieces) flushArchive();
}

int HistoricConnection::writePending() {
    // At most MaxPieces are ever pending: their pieces fit on the stack, and
    // the list keeps its room for the next batch.
    Q_ASSERT(pending_.size() <= MaxPieces);
    iovec io[MaxPieces];
    std::size_t count = 0;
    if (fd_ >= 0)
        for (const Pending& p : pending_)
            io[count++] = {const_cast<char*>(p.message.constData()) + p.from,
                           std::size_t(p.message.size() - p.from)};
    int err = 0;
    for (std::size_t i = 0; i < count;) {
        const ssize_t w = ::writev(fd_, io + i, int(count - i));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            err = w < 0 ? errno : ENOSPC;
            break;
        }
        // Past the pieces written whole, into the one written in part.
        for (std::size_t n = std::size_t(w); n > 0;) {
            const std::size_t k = std::min(n, io[i].iov_len);
            io[i].iov_base = static_cast<char*>(io[i].iov_base) + k;
            io[i].iov_len -= k;
            n -= k;
            if (io[i].iov_len == 0) ++i;
        }
    }
    pending_.clear();
    pendingBytes_ = 0;
    return err;
}

bool HistoricConnection::flushArchive() {
    const int e = writePending();
    if (e == 0) return true;
    closeArchive();
    QFile::remove(archivePath());
    abandon("Cannot write " + QFile::encodeName(archivePath()) + ": " + errnoText(e).toLatin1());
    return false;
}

void HistoricConnection::transferMarker(const QByteArray& s) {
    const qsizetype comma = s.indexOf(',');
    const qsizetype p = comma < 0 ? 0 : comma + 1; // counted from 1
    if (p < 4 && HistFile > 0) {
        closeArchive();
        return;
    }
    if (p == 0) {
        abandon("Transfer marker without a comma: " + s.left(64));
        return;
    }
    const QByteArray sym = s.mid(2, p - 3);
    const float ty = ToFloat(Val(QByteArrayView(s).sliced(p)));
    if (RawMode == 0) {
        RawMode = 1; // begin of the transfer
        return;
    }
    RawMode = 0;
    if (HistFile != 0) {
        if (sym == CurSymbol && ty == CurTy) {
            if (!flushArchive()) return;
            if (fd_ >= 0) ::close(fd_);
            fd_ = -1;
            const ExtractResult r = ExtractArchive(archivePath(), folder(), limits);
            if (r.code != ExtractResult::Ok) {
                c_.ctl.Label1 = r.description.toLatin1();
                c_.ctl.Label2 = c_.ctl.Label1;
                QFile::remove(archivePath());
                extractionFailed_ = true; // the download stays in progress
                return;
            }
            removeLater(archivePath());
            const QByteArray u = c_.ctl.UserName;
            auto rename = [&](const QByteArray& from, const QByteArray& to) {
                const QString f = file(from), t = file(to);
                if (f.isEmpty() || t.isEmpty()) return;
                // The older series goes first: a rename over an existing name
                // would also make the file system write the new one out at once.
                removeLater(t);
                QFile::rename(f, t);
            };
            if (ty == 1) rename(u + sym + "~1M", sym + ".QX1M");
            if (ty == -1) rename(u + sym + "~day", sym + ".QXDAY");
            if (ty > 1) {
                const QByteArray n = FormatZero(double(ty));
                rename(u + sym + ".~" + n + "M", sym + ".QX" + n + "M");
            }
            HistFile = 0;
            c_.handoff.vSimbolo = CurSymbol;
            c_.handoff.VInterval = ty;
            c_.handoff.vType = KindDownload;
            c_.handoff.setData(c_.handoff.vSimbolo + " " + LocalClockHMS());
        } else {
            closeArchive();
        }
    }
    if (CurIndex != 0) {
        if (sym == CurSymbol && CurTy == ty) list.DownListSet({}, 0, CurIndex);
        CurIndex = 0;
        CurSymbol.clear();
        CurTy = 0;
    }
    c_.ctl.Label1.clear();
    endDownload();
}

// ---------------------------------------------------------------------------
// Ends

void HistoricConnection::closeArchive() {
    // What was received goes to the file first: a closed archive stays on
    // disk as far as it came.
    writePending();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    HistFile = 0;
    extractionFailed_ = false;
}

void HistoricConnection::finishCurrent() {
    if (CurIndex != 0) list.DownListSet({}, 0, CurIndex);
    CurIndex = 0;
    CurSymbol.clear();
    CurTy = 0;
}

void HistoricConnection::endDownload() {
    c_.sockhist.Close();
    c_.ctl.loghistVisible = false;
    c_.repaintNow();
}

void HistoricConnection::abandon(const QByteArray& why) {
    closeArchive();
    RawMode = 0;
    finishCurrent();
    c_.ctl.Label1 = why;
    endDownload();
}

} // namespace qxd
