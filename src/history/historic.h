// The historic connection: one short connection per queued download. The
// scheduler (TimerHist) picks the first pending item and connects; the
// server leads the logon, the request goes out on "#L", the archive arrives
// in raw chunks between two transfer markers, is unpacked into the historic
// folder, its files get their final names and the host is told.
#pragma once

#include "history/downlist.h"
#include "history/extract.h"
#include "wire/frame.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <vector>

namespace qxd {

class QXDClient;

class HistoricConnection : public QObject {
    Q_OBJECT
public:
    explicit HistoricConnection(QXDClient& client);
    ~HistoricConnection() override;

    DownList list;

    // The download in progress.
    std::int32_t CurIndex = 0; // 0: none
    QByteArray CurSymbol;
    float CurTy = 0;
    std::int16_t HistFile = 0; // 1 while an archive file is open (or failed to open)
    std::int16_t RawMode = 0;

    void TimerHist_Timer();
    void sockhist_Error(int number, const QString& description);
    void loghist_Click();
    void sockhist_DataArrival();
    void ProcessDataHist(const QByteArray& s);

    // The historic folder (Diretorio + "indataqx") and the archive in it.
    QString folder() const;
    QString archivePath() const;

    ExtractLimits limits;
    // The most an archive may take on disk; a transfer beyond it is ended
    // and its archive removed, so a server that never ends one cannot fill
    // the disk.
    static constexpr std::int64_t DefaultMaxArchiveBytes = std::int64_t(4) << 30;
    std::int64_t maxArchiveBytes = DefaultMaxArchiveBytes;

private:
    void transferChunk(const QByteArray& s);
    void transferMarker(const QByteArray& s);
    void endDownload();                  // close sockhist, hide "Logoff Hist", redraw
    void finishCurrent();                // the item at CurIndex finished, no download in progress
    void abandon(const QByteArray& why); // ends the download with a message
    void closeArchive();
    int writePending();  // 0, or the errno of a failed write
    bool flushArchive(); // writePending; on failure the download is abandoned
    void sendHist(const QByteArray& text);
    void sendRequest();
    QString file(const QByteArray& name) const;
    bool yield();

    QXDClient& c_;
    HistFrameExtractor extractor_;
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
    bool extractionFailed_ = false; // the archive was closed by a failed extraction
};

} // namespace qxd
