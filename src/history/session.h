// The historic session: one short connection per queued download. The
// scheduler tick picks the first pending item and connects; the server
// leads the logon, the request goes out on "#L", the archive arrives in
// raw chunks between two transfer markers, is unpacked into the historic
// folder, its files get their final names and the host is told through the
// hand-off. A plain class fed with the socket's events, the scheduler's
// ticks and the "Logoff Hist" button; it acts through the transport, the
// hand-off and the panel it is given.
//
// Re-entry. The receive loop has no guard of its own and does not yield
// between messages; a note's modal box and the connect retry let other
// events run. It reads nothing while the feed's sender writes a frame.
#pragma once

#include "handoff/handoff.h"
#include "history/downlist.h"
#include "history/extract.h"
#include "wire/frame.h"
#include "wire/sender.h"
#include "wire/session_support.h"
#include "wire/socket.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace qxd {

enum class HistoricState {
    Idle,         // no download in progress
    Connecting,   // the scheduler started the connect
    Dialogue,     // the server leads the logon
    Requested,    // the request went out
    Transferring, // the archive is arriving
};

// The window's part of the historic connection: the boxes the connect and
// the logon read, and what the window shows.
class HistoricPanel : public SessionPanel {
public:
    virtual QByteArray historicHost() const = 0;
    virtual QByteArray historicPort() const = 0;

    virtual void setHistoricReceived(std::int32_t count) = 0;
    virtual void setLogoffHistVisible(bool visible) = 0;
    virtual void stateChanged(HistoricState) {}
    // The download in progress (or a queued one "Logoff Hist" dropped)
    // ended: `ok` when the host got its EndDownload. `reason` is a fixed
    // code, then ": " and the window's text where there is one.
    virtual void downloadEnded(const QByteArray& /*symbol*/, float /*interval*/, bool /*ok*/,
                               const QByteArray& /*reason*/) {}

protected:
    ~HistoricPanel() = default;
};

class HistoricSession {
public:
    HistoricSession(SocketComponent& sock, const FeedSender& feedSender, HandOff& handOff,
                    HistoricPanel& panel, Yield yield);
    ~HistoricSession();

    DownList list;

    // Events.
    void schedulerTick();
    void failed(int number, const QString& description);
    void logoffHistButton();
    void readable();
    // The client ends: nothing more is read.
    void end();

    // One message of the historic connection.
    void dispatch(const QByteArray& message);

    // Passes of the receive loop since the feed's last logon.
    std::int32_t received() const { return received_; }
    void resetReceived() { received_ = 0; }

    // The download in progress (0: none), its symbol and interval code.
    std::int32_t currentItem() const { return current_; }
    const QByteArray& currentSymbol() const { return symbol_; }
    bool archiveOpen() const { return archiveOpen_; }
    // Bytes received into the archive of the download in progress.
    std::int64_t archiveBytes() const { return archiveOpen_ ? archiveBytes_ : 0; }
    bool rawMode() const { return raw_; }
    HistoricState state() const { return state_; }

    // The historic folder (data folder + "indataqx") and the archive in it.
    QString folder() const;
    QString archivePath() const;

    ExtractLimits limits;
    // The most an archive may take on disk; a transfer beyond it is ended
    // and its archive removed, so a server that never ends one cannot fill
    // the disk.
    static constexpr std::int64_t DefaultMaxArchiveBytes = std::int64_t(4) << 30;
    std::int64_t maxArchiveBytes = DefaultMaxArchiveBytes;

private:
    void setState(HistoricState s);
    void transferChunk(const QByteArray& message);
    void transferMarker(const QByteArray& message);
    void serverDisconnects();
    // The download in progress ends (the panel hears why: `reason` is a
    // code, `text` what the window says); its item is marked finished when
    // `markFinished`.
    void endCurrent(bool markFinished, const char* reason, const QByteArray& text = {});
    // The connection ends: closed, "Logoff Hist" hidden, the status line set.
    void closeConnection(const QByteArray& status);
    // Ends the download with a message.
    void abandon(const char* reason, const QByteArray& why);
    void closeArchive();
    int writePending();  // 0, or the errno of a failed write
    bool flushArchive(); // writePending; on failure the download is abandoned
    void send(const QByteArray& text);
    void sendRequest();
    QString file(const QByteArray& name) const;

    SocketComponent& sock_;
    const FeedSender& feedSender_;
    HandOff& handOff_;
    HistoricPanel& panel_;
    Yield yield_;
    HistFrameExtractor extractor_;

    HistoricState state_ = HistoricState::Idle;
    std::int32_t current_ = 0;
    QByteArray symbol_;
    float interval_ = 0;
    bool archiveOpen_ = false; // also after a failed open, until the download ends
    bool raw_ = false;         // inside a transfer: messages are not packed
    std::int32_t received_ = 0;
    bool ended_ = false;
    // Why the archive of the download in progress did not extract: that
    // download then ends for this reason, whatever ends it.
    QByteArray extractionFailed_;

    int fd_ = -1; // the archive file while open
    // Chunk data not yet written to the archive: the messages themselves
    // (shared, not copied) and where the data starts in each. Written out
    // in one system call when enough has gathered and before the receive
    // loop returns, so between events the file holds everything received.
    struct Pending {
        QByteArray message;
        qsizetype from;
    };
    std::vector<Pending> pending_;
    qsizetype pendingBytes_ = 0;
    std::int64_t archiveBytes_ = 0; // received into the open archive
    Liveness liveness_;             // last: gone first
};

} // namespace qxd
