#include "automation/client_status.h"

#include <QTimer>

namespace qxd {

ClientStatus& ClientStatus::instance() {
    static ClientStatus* status = new ClientStatus; // lives as long as the process
    return *status;
}

template <class T, class Signal>
void ClientStatus::change(T& field, const T& value, Signal signal, const char* name) {
    if (field == value) return;
    field = value;
    emit(this->*signal)(field);
    if (pending_.isEmpty())
        QTimer::singleShot(0, this, [this] { emit propertiesChanged(std::exchange(pending_, {})); });
    if (!pending_.contains(name)) pending_.append(name);
}

void ClientStatus::setFeedState(const QString& v) {
    change(feedState_, v, &ClientStatus::FeedStateChanged, "FeedState");
}
void ClientStatus::setHistoricState(const QString& v) {
    change(historicState_, v, &ClientStatus::HistoricStateChanged, "HistoricState");
}
void ClientStatus::setStatusText(const QString& v) {
    change(statusText_, v, &ClientStatus::StatusTextChanged, "StatusText");
}
void ClientStatus::setServerMessage(const QString& v) {
    change(serverMessage_, v, &ClientStatus::ServerMessageChanged, "ServerMessage");
}
void ClientStatus::setClients(int v) {
    change(clients_, v, &ClientStatus::ClientsChanged, "Clients");
}
void ClientStatus::setCounters(quint64 received, quint64 skipped, quint64 dropped) {
    change(received_, received, &ClientStatus::ReceivedChanged, "Received");
    change(skipped_, skipped, &ClientStatus::SkippedChunksChanged, "SkippedChunks");
    change(dropped_, dropped, &ClientStatus::DroppedChunksChanged, "DroppedChunks");
}
void ClientStatus::setSubscriptions(const QStringList& v) {
    change(subscriptions_, v, &ClientStatus::SubscriptionsChanged, "Subscriptions");
}
void ClientStatus::setDownloads(const QList<DownloadEntry>& v) {
    change(downloads_, v, &ClientStatus::DownloadsChanged, "Downloads");
}
void ClientStatus::setDownloadBytes(quint64 v) {
    change(downloadBytes_, v, &ClientStatus::DownloadBytesChanged, "DownloadBytes");
}

} // namespace qxd
