// What the window shows, for hosts: the states of both connections, the
// window's status and message lines, the counters, the symbol and download
// lists, and what a host could not see before: every download's end, each
// server note, and overloads. One per process, as the client is one; the
// app keeps it up to date (counters on a timer, never per message). The
// D-Bus face serves it as the interface QXDataClient.Status on every object
// path; in process, read its properties and connect to its signals.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace qxd {

struct DownloadEntry {
    QString symbol;
    double interval = 0, from = 0, to = 0;
    QString state; // "pending", "active" or "finished"
    bool operator==(const DownloadEntry&) const = default;
};

class ClientStatus : public QObject {
    Q_OBJECT
    // Feed: idle, connecting, dialogue, logged-on, lost, refused, logged-off.
    Q_PROPERTY(QString FeedState READ feedState NOTIFY FeedStateChanged)
    // Historic: idle, connecting, dialogue, requested, transferring, stalled
    // (transferring with no byte for StallSeconds; the download goes on).
    Q_PROPERTY(QString HistoricState READ historicState NOTIFY HistoricStateChanged)
    Q_PROPERTY(QString StatusText READ statusText NOTIFY StatusTextChanged)
    Q_PROPERTY(QString ServerMessage READ serverMessage NOTIFY ServerMessageChanged)
    Q_PROPERTY(int Clients READ clients NOTIFY ClientsChanged)
    Q_PROPERTY(quint64 Received READ received NOTIFY ReceivedChanged)
    Q_PROPERTY(quint64 SkippedChunks READ skippedChunks NOTIFY SkippedChunksChanged)
    Q_PROPERTY(quint64 DroppedChunks READ droppedChunks NOTIFY DroppedChunksChanged)
    Q_PROPERTY(QStringList Subscriptions READ subscriptions NOTIFY SubscriptionsChanged)
    Q_PROPERTY(QList<qxd::DownloadEntry> Downloads READ downloads NOTIFY DownloadsChanged)
    Q_PROPERTY(quint64 DownloadBytes READ downloadBytes NOTIFY DownloadBytesChanged)
public:
    static constexpr int StallSeconds = 60;

    static ClientStatus& instance();

    QString feedState() const { return feedState_; }
    QString historicState() const { return historicState_; }
    QString statusText() const { return statusText_; }
    QString serverMessage() const { return serverMessage_; }
    int clients() const { return clients_; }
    quint64 received() const { return received_; }
    quint64 skippedChunks() const { return skipped_; }
    quint64 droppedChunks() const { return dropped_; }
    QStringList subscriptions() const { return subscriptions_; }
    QList<DownloadEntry> downloads() const { return downloads_; }
    quint64 downloadBytes() const { return downloadBytes_; }

    // The app's side: each announces a change of value (and only a change).
    void setFeedState(const QString& v);
    void setHistoricState(const QString& v);
    void setStatusText(const QString& v);
    void setServerMessage(const QString& v);
    void setClients(int v);
    void setCounters(quint64 received, quint64 skipped, quint64 dropped);
    void setSubscriptions(const QStringList& v);
    void setDownloads(const QList<DownloadEntry>& v);
    void setDownloadBytes(quint64 v);

signals:
    void FeedStateChanged(const QString&);
    void HistoricStateChanged(const QString&);
    void StatusTextChanged(const QString&);
    void ServerMessageChanged(const QString&);
    void ClientsChanged(int);
    void ReceivedChanged(quint64);
    void SkippedChunksChanged(quint64);
    void DroppedChunksChanged(quint64);
    void SubscriptionsChanged(const QStringList&);
    void DownloadsChanged(const QList<qxd::DownloadEntry>&);
    void DownloadBytesChanged(quint64);

    // Once for every way a download ends, with EndDownload or without it.
    // Reason: a fixed code ("finished", "no-data", "unknown-symbol",
    // "refused", "connection-lost", "extraction-failed", "folder-missing",
    // "request-too-long", "archive-too-large", "write-failed", "cancelled",
    // ...), then ": " and the window's text where there is one.
    void DownloadEnded(const QString& Symbol, double Ty, bool Ok, const QString& Reason);
    // Each server note ("@" and "@@"), before a modal box opens.
    void Note(const QString& Text);
    // Chunks skipped or dropped since the last report, at most once a second.
    void Overloaded(quint64 Skipped, quint64 Dropped);

    // The names of the properties that changed (the D-Bus face announces
    // them together, once the current event is done).
    void propertiesChanged(const QList<QByteArray>& names);

private:
    ClientStatus() = default;
    template <class T, class Signal>
    void change(T& field, const T& value, Signal signal, const char* name);

    QString feedState_ = QStringLiteral("idle");
    QString historicState_ = QStringLiteral("idle");
    QString statusText_, serverMessage_;
    int clients_ = 0;
    quint64 received_ = 0, skipped_ = 0, dropped_ = 0, downloadBytes_ = 0;
    QStringList subscriptions_;
    QList<DownloadEntry> downloads_;
    QList<QByteArray> pending_; // changed names not yet announced
};

} // namespace qxd

Q_DECLARE_METATYPE(qxd::DownloadEntry)
