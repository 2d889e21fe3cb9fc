#include "history/session.h"

#include "wire/convert.h"
#include "wire/pack.h"

#include <QDir>
#include <QFile>
#include <QThreadPool>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

namespace qxd {

namespace {

QByteArray rest(const QByteArray& s, qsizetype k) {
    return s.size() > k ? s.sliced(k) : QByteArray();
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

void removeLater(const QString& path) {
    const int fd = openToRelease(path);
    QFile::remove(path);
    closeLater(fd);
}

// Archive data go to the file in batches of about this size (far fewer
// system calls than chunks, and a batch still in the caches), in at most
// this many pieces (well inside the system's limit for one writev).
constexpr qsizetype FlushBytes = 256 * 1024;
constexpr std::size_t MaxPieces = 64;

// The names a series has in the historic folder: as unpacked (the user name
// in front), while a transfer is under way, and final. Empty for a code
// that names no series.
struct SeriesNames {
    QByteArray unpacked, temporary, final;
};
SeriesNames seriesNames(const QByteArray& user, const QByteArray& sym, float code) {
    if (code == 1) return {user + sym + "~1M", sym + ".TMPQX1M", sym + ".QX1M"};
    if (code == -1) return {user + sym + "~day", sym + ".TMPQXDAY", sym + ".QXDAY"};
    if (code > 1) {
        const QByteArray n = FormatZero(double(code));
        return {user + sym + ".~" + n + "M", sym + ".TMPQX" + n, sym + ".QX" + n + "M"};
    }
    return {};
}

} // namespace

HistoricSession::HistoricSession(SocketComponent& sock, const FeedSender& feedSender,
                                 HandOff& handOff, HistoricPanel& panel, Yield yield)
    : sock_(sock)
    , feedSender_(feedSender)
    , handOff_(handOff)
    , panel_(panel)
    , yield_(std::move(yield)) {}

HistoricSession::~HistoricSession() {
    writePending();
    if (fd_ >= 0) ::close(fd_);
}

void HistoricSession::setState(HistoricState s) {
    if (s == state_) return;
    state_ = s;
    panel_.stateChanged(s);
}

QString HistoricSession::folder() const {
    return QFile::decodeName(handOff_.Diretorio + "indataqx");
}

QString HistoricSession::archivePath() const {
    return folder() + QStringLiteral("/ToDecompress.zip");
}

// A file of the historic folder. Names that would lead out of it (a "/"
// inside a symbol or user name) give an empty path: such files are left alone.
QString HistoricSession::file(const QByteArray& name) const {
    if (name.contains('/') || name.contains('\0') || name.isEmpty()) return {};
    return folder() + QLatin1Char('/') + QFile::decodeName(name);
}

// ---------------------------------------------------------------------------
// Scheduler, errors, "Logoff Hist"

void HistoricSession::schedulerTick() {
    if (current_ != 0) return;
    if (list.count() < 1) return;
    const std::int32_t chosen = list.firstPending();
    if (!chosen) {
        list.clear();
        list.resetDates();
        return;
    }
    const DownItem item = list.item(chosen);
    symbol_ = TrueTrim(item.S);
    interval_ = item.Ty;
    current_ = chosen;

    sock_.RemoteHost = QString::fromLatin1(panel_.historicHost());
    if (auto port = ToInt32(Val(panel_.historicPort()))) sock_.RemotePort = *port;
    while (sock_.State() != SocketComponent::Closed) {
        sock_.Close();
        panel_.setStatusLine("Closing socket hist");
    }
    setState(HistoricState::Connecting);
    const ConnectOutcome o = ConnectWithRetry(sock_, liveness_, yield_, panel_);
    if (!o.survived) return;
    if (o.failure) {
        endCurrent(true, "connection-lost", o.failure.description.toLatin1());
        panel_.setLogoffHistVisible(false);
        panel_.repaintNow();
    } else {
        panel_.setStatusLine({});
        panel_.repaintNow();
    }
}

void HistoricSession::failed(int number, const QString& description) {
    if (number == 0) {
        panel_.setStatusLine(description.toLatin1());
        return;
    }
    endCurrent(true, "connection-lost", description.toLatin1());
    closeArchive(); // the archive file stays on disk
    closeConnection({});
    panel_.setStatusLine(description.toLatin1());
}

void HistoricSession::logoffHistButton() {
    closeArchive();
    endCurrent(true, "cancelled", "Logoff Hist");
    // The queued downloads it drops end too, so that no host waits for them.
    for (std::int32_t i = list.firstPending(); i != 0; i = list.firstPending()) {
        const DownItem item = list.item(i);
        list.set({}, 0, i);
        panel_.downloadEnded(TrueTrim(item.S), item.Ty, false, "cancelled: Logoff Hist");
    }
    list.clear();
    closeConnection({});
}

void HistoricSession::end() {
    ended_ = true;
}

// ---------------------------------------------------------------------------
// Receive loop

void HistoricSession::readable() {
    if (ended_) return;
    if (feedSender_.writing) {
        // The bytes wait; the socket reports them again once the write is done.
        sock_.Rearm();
        return;
    }
    // Shared with the extractor, which cuts whole frames straight out of it.
    QByteArray in = sock_.GetData();
    const auto alive = liveness_.token();
    for (;;) {
        const bool raw = raw_;
        qsizetype left = 0;
        const QByteArrayView payload = extractor_.extract(std::exchange(in, QByteArray()), left);
        // A copy: a note's modal box can run this loop again and move the buffer.
        const QByteArray message = raw ? payload.toByteArray() : DeCompress(payload);
        panel_.setLastMessage(message);
        dispatch(message);
        if (!*alive || ended_) return; // gone, or a host's handler ended the client
        received_ = received_ == std::numeric_limits<std::int32_t>::max() ? 1 : received_ + 1;
        panel_.setHistoricReceived(received_);
        if (raw_ == raw && left == 0) break;
        // A pass that switched the mode is followed by one more in the new mode.
    }
    flushArchive();
}

// ---------------------------------------------------------------------------
// Messages

void HistoricSession::dispatch(const QByteArray& s) {
    if (s.startsWith('*')) {
        transferChunk(s);
        return;
    }
    if (s.size() > 2 && s[0] == '#') {
        if (s[1] == 'B' && s[2] == '0') {
            raw_ = false;
            return;
        }
        if (s[1] == 'B' && s[2] == '1') {
            raw_ = false;
            closeArchive();
            const QByteArray text = "Symbol " + rest(s, 2) + " no data";
            endCurrent(true, "no-data", text);
            closeConnection(text);
            return;
        }
        if (s[1] == 'B') {
            transferMarker(s);
            return;
        }
        if (s[1] == 'E') {
            const QByteArray sym = rest(s, 2);
            const QByteArray text = "Symbol " + sym + " does not exist";
            endCurrent(symbol_ == sym, "unknown-symbol", text);
            closeArchive();
            closeConnection(text);
            return;
        }
    }
    if (const auto reply = LogonAnswer(s, panel_.userName(), panel_.password())) {
        if (state_ == HistoricState::Connecting) setState(HistoricState::Dialogue);
        send(*reply);
    } else if (s == "#N") {
        serverDisconnects();
    } else if (s == "#L") {
        panel_.setLogoffHistVisible(true);
        panel_.repaintNow();
        if (!symbol_.isEmpty() && current_ > 0 && interval_ != 0) sendRequest();
    } else if (s == "#O") {
        endCurrent(true, "refused");
        closeArchive();
        closeConnection({});
    } else if (s.startsWith('@')) {
        if (s.size() <= 2) return;
        const QByteArray text = rest(s, s[1] == '@' ? 2 : 1);
        panel_.serverNote(text);
        if (s[1] == '@')
            panel_.showNote(text);
        else
            panel_.setStatusLine(text);
    } else {
        panel_.setMessageLine(s);
    }
}

// The server ends the connection: a transfer under way is thrown away, its
// archive and its temporary series with it.
void HistoricSession::serverDisconnects() {
    panel_.setStatusLine("Server is disconnecting");
    if (archiveOpen_) {
        closeArchive();
        const QDir dir(folder());
        for (const QString& z :
             dir.entryList({QStringLiteral("*.zip")}, QDir::Files | QDir::CaseSensitive))
            QFile::remove(dir.filePath(z));
        if (!symbol_.isEmpty())
            if (const QString p = file(seriesNames({}, symbol_, interval_).temporary); !p.isEmpty())
                QFile::remove(p);
    }
    endCurrent(!symbol_.isEmpty(), "connection-lost", "Server is disconnecting");
    closeConnection({});
}

void HistoricSession::send(const QByteArray& text) {
    // A reply that cannot be sent ends the download as a socket error does.
    if (SocketFailure f = sock_.SendData(ConverteToSend(text))) failed(f.number, f.description);
}

void HistoricSession::sendRequest() {
    if (!QDir(folder()).exists()) {
        abandon("folder-missing",
                "Historic folder " + QFile::encodeName(folder()) + " does not exist");
        return;
    }
    const auto d1 = FormatYYYYMMDD(list.startDate(current_));
    const auto d2 = FormatYYYYMMDD(list.endDate(current_));
    if (!d1 || !d2) {
        abandon("bad-request", "Invalid date in the request for " + symbol_);
        return;
    }
    // The symbol holds no blanks (TrueTrim took them all); tabs and line
    // ends are part of it and go as they are.
    const QByteArray request =
        "#F" + symbol_ + ",&I" + FormatZero(double(interval_)) + ",&D1" + *d1 + ",&D2" + *d2 + ",";
    // A frame cannot carry it, and the server would never answer: the
    // download would hold up every one queued after it.
    if (request.size() > MaxPayload) {
        abandon("request-too-long", "The request for " + symbol_.left(32) + "... is too long to send");
        return;
    }
    setState(HistoricState::Requested);
    send(request);
}

void HistoricSession::transferChunk(const QByteArray& s) {
    if (!archiveOpen_) {
        archiveOpen_ = true;
        archiveBytes_ = 0;
        fd_ = ::open(QFile::encodeName(archivePath()).constData(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            const int e = errno;
            const bool folderThere = QDir(folder()).exists();
            abandon(folderThere ? "write-failed" : "folder-missing",
                    folderThere
                        ? "Cannot create " + QFile::encodeName(archivePath()) + ": " +
                              ErrnoText(e).toLatin1()
                        : "Historic folder " + QFile::encodeName(folder()) + " does not exist");
            return;
        }
    } else if (fd_ < 0) {
        // The archive was closed by a failed extraction: the transfer cannot
        // go on into it.
        abandon("extraction-failed",
                "Archive data after a failed extraction: download of " + symbol_ + " ended");
        return;
    }
    const qsizetype p = s.indexOf(',');
    if (p < 0) return;
    const qsizetype q = s.indexOf(',', p + 1);
    if (q < 0 || q == s.size() - 1) return;
    const qsizetype bytes = s.size() - q - 1;
    archiveBytes_ += bytes;
    if (archiveBytes_ > maxArchiveBytes) {
        abandon("archive-too-large", "The archive for " + symbol_ + " is over " + FormatZero(maxArchiveBytes) +
                " bytes: download ended");
        QFile::remove(archivePath());
        return;
    }
    pending_.push_back({s, q + 1});
    pendingBytes_ += bytes;
    if (pendingBytes_ >= FlushBytes || pending_.size() >= MaxPieces) flushArchive();
}

int HistoricSession::writePending() {
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

bool HistoricSession::flushArchive() {
    const int e = writePending();
    if (e == 0) return true;
    closeArchive();
    QFile::remove(archivePath());
    abandon("write-failed", "Cannot write " + QFile::encodeName(archivePath()) + ": " + ErrnoText(e).toLatin1());
    return false;
}

void HistoricSession::transferMarker(const QByteArray& s) {
    const qsizetype comma = s.indexOf(',');
    const qsizetype p = comma < 0 ? 0 : comma + 1; // counted from 1
    if (p < 4 && archiveOpen_) {
        closeArchive();
        return;
    }
    if (p == 0) {
        abandon("protocol-error", "Transfer marker without a comma: " + s.left(64));
        return;
    }
    const QByteArray sym = s.mid(2, p - 3);
    const float code = ToFloat(Val(QByteArrayView(s).sliced(p)));
    if (!raw_) {
        raw_ = true; // begin of the transfer
        setState(HistoricState::Transferring);
        return;
    }
    raw_ = false;
    bool handedOff = false;
    if (archiveOpen_) {
        if (sym == symbol_ && code == interval_) {
            if (!flushArchive()) return;
            if (fd_ >= 0) ::close(fd_);
            fd_ = -1;
            const ExtractResult r = ExtractArchive(archivePath(), folder(), limits);
            if (r.code != ExtractResult::Ok) {
                panel_.setStatusLine(r.description.toLatin1());
                panel_.setMessageLine(r.description.toLatin1());
                QFile::remove(archivePath());
                extractionFailed_ = r.description.toLatin1();
                return; // the download stays in progress
            }
            removeLater(archivePath());
            const SeriesNames names = seriesNames(panel_.userName(), sym, code);
            const QString from = file(names.unpacked), to = file(names.final);
            if (!from.isEmpty() && !to.isEmpty()) {
                // The older series goes first: a rename over an existing name
                // would also make the file system write the new one out at once.
                removeLater(to);
                QFile::rename(from, to);
            }
            archiveOpen_ = false;
            handOff_.vSimbolo = symbol_;
            handOff_.VInterval = code;
            handOff_.vType = KindDownload;
            handOff_.setData(handOff_.vSimbolo + " " + LocalClockHMS());
            handedOff = true;
        } else {
            closeArchive();
        }
    }
    const bool match = sym == symbol_ && interval_ == code;
    endCurrent(match, !match ? "mismatched-marker" : handedOff ? "finished" : "empty-transfer");
    closeConnection({});
}

// ---------------------------------------------------------------------------
// Ends

void HistoricSession::closeArchive() {
    // What was received goes to the file first: a closed archive stays on
    // disk as far as it came.
    writePending();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    archiveOpen_ = false;
}

void HistoricSession::endCurrent(bool markFinished, const char* reason, const QByteArray& text) {
    if (current_ != 0) {
        const bool ok = !std::strcmp(reason, "finished");
        QByteArray why = reason;
        if (!extractionFailed_.isEmpty() && !ok)
            why = "extraction-failed: " + std::exchange(extractionFailed_, {});
        else if (!text.isEmpty())
            why += ": " + text;
        panel_.downloadEnded(symbol_, interval_, ok, why);
    }
    extractionFailed_.clear();
    if (current_ != 0 && markFinished) list.set({}, 0, current_);
    current_ = 0;
    symbol_.clear();
    interval_ = 0;
    setState(HistoricState::Idle);
}

void HistoricSession::closeConnection(const QByteArray& status) {
    sock_.Close();
    panel_.setStatusLine(status);
    panel_.setLogoffHistVisible(false);
    panel_.repaintNow();
}

void HistoricSession::abandon(const char* reason, const QByteArray& why) {
    closeArchive();
    raw_ = false;
    endCurrent(true, reason, why);
    closeConnection(why);
}

} // namespace qxd
