#include "app/client_core.h"

#include "app/main_window.h"
#include "app/settings.h"
#include "automation/client_status.h"
#include "automation/dbus_face.h"
#include "wire/frame.h"

#include <QCoreApplication>
#include <QMessageBox>

#include <cstdio>
#include <utility>

namespace qxd {

namespace {
ClientCore* g_instance = nullptr;
ClientOptions g_instanceOptions; // taken by the next instance()

std::unique_ptr<SocketComponent> orTcp(std::unique_ptr<SocketComponent> s) {
    return s ? std::move(s) : std::make_unique<TcpSocket>();
}

void yieldOnce() {
    QCoreApplication::processEvents();
}

// The automation objects forward to the shared instance.
const bool g_registered = [] {
    SetSharedClient([]() -> ClientOperations& { return *ClientCore::instance(); });
    SetExistingSharedClient([]() -> ClientOperations* { return ClientCore::existingInstance(); });
    return true;
}();
} // namespace

ClientCore::ClientCore(ClientOptions o, QObject* parent)
    : QObject(parent)
    , feedSocket_(orTcp(std::move(o.feed)))
    , historicSocket_(orTcp(std::move(o.historic)))
    , feedSocket(*feedSocket_)
    , historicSocket(*historicSocket_)
    , sender(feedSocket)
    , feed(feedSocket, sender, handoff, reconnectTimer, *this, yieldOnce)
    , history(historicSocket, sender, handoff, *this, yieldOnce)
    , timing_(o.timing)
    , settingsPath_(o.settingsPath.isEmpty() ? DefaultSettingsPath() : o.settingsPath)
    , tuning_(o.tuning) {
    (void)g_registered;
    feed.reconnectIntervalMs = timing_.reconnectMs;
    reconnectTimer.timer.setInterval(timing_.reconnectMs);
    schedulerTimer.timer.setInterval(timing_.schedulerMs);
    // Named for whoever lists the events that held the thread.
    reconnectTimer.timer.setObjectName(QStringLiteral("reconnectTimer"));
    schedulerTimer.timer.setObjectName(QStringLiteral("schedulerTimer"));

    connect(&feedSocket, &SocketComponent::connected, this, [this] { feed.connected(); });
    connect(&feedSocket, &SocketComponent::closed, this, [this] { feed.closedByPeer(); });
    connect(&feedSocket, &SocketComponent::error, this,
            [this](int n, const QString& d) { feed.failed(n, d); });
    connect(&feedSocket, &SocketComponent::dataArrival, this, [this] { feed.readable(); });
    connect(&reconnectTimer.timer, &QTimer::timeout, this, [this] { feed.reconnectTick(); });
    connect(&historicSocket, &SocketComponent::error, this,
            [this](int n, const QString& d) { history.failed(n, d); });
    connect(&historicSocket, &SocketComponent::dataArrival, this, [this] { history.readable(); });
    connect(&schedulerTimer.timer, &QTimer::timeout, this, [this] { history.schedulerTick(); });

    statusClock = [clock = std::make_shared<QElapsedTimer>()] {
        if (!clock->isValid()) clock->start();
        return clock->elapsed();
    };
    statusTimer_.setInterval(StatusIntervalMs);
    connect(&statusTimer_, &QTimer::timeout, this, &ClientCore::refreshStatus);
}

ClientCore::~ClientCore() {
    delete view_;
    if (g_instance == this) g_instance = nullptr;
}

ClientCore* ClientCore::instance() {
    if (!g_instance) {
        const ClientTiming timing = g_instanceOptions.timing;
        g_instance = new ClientCore(std::exchange(g_instanceOptions, {}));
        g_instanceOptions.timing = timing;
    }
    return g_instance;
}

ClientCore* ClientCore::existingInstance() {
    return g_instance;
}

void ClientCore::setInstanceTiming(const ClientTiming& t) {
    g_instanceOptions.timing = t;
}

void ClientCore::setInstanceOptions(ClientOptions o) {
    g_instanceOptions = std::move(o);
}

void ClientCore::destroyInstance() {
    delete g_instance;
    g_instance = nullptr;
}

QString ClientCore::ensureLoaded() {
    if (stopped_) return QStringLiteral("The client has stopped: its last object was released");
    if (loaded_) return {};
    loaded_ = true;
    // Both timers run from the moment the window is loaded.
    reconnectTimer.start(timing_.reconnectMs);
    schedulerTimer.start(timing_.schedulerMs);
    statusTimer_.start();
    view_ = new MainWindow(*this);
    connect(view_, &MainWindow::logonClicked, this, &ClientCore::logonButton);
    connect(view_, &MainWindow::logoffHistClicked, this, [this] { history.logoffHistButton(); });
    QString err = LoadSettings(settingsPath_, controls);
    if (err.isEmpty()) view_->makeTopmost();
    view_->refresh();
    emit loadedChanged(true);
    return err;
}

QString ClientCore::showWindow() {
    const QString err = ensureLoaded();
    if (view_) view_->show();
    return err;
}

QString ClientCore::restoreWindow() {
    const QString err = showWindow();
    if (!view_) return err;
    view_->setWindowState(view_->windowState() & ~Qt::WindowMinimized);
    view_->showNormal();
    return err;
}

void ClientCore::hideButton() {
    if (view_) view_->showMinimized();
}

void ClientCore::logonButton() {
    ensureLoaded();
    feed.logonButton();
}

QString ClientCore::addSymbol(const QByteArray& symbol) {
    if (QString e = ensureLoaded(); !e.isEmpty()) return e;
    return feed.addSymbol(symbol).description;
}

QString ClientCore::requestSymbol(const QByteArray& symbol) {
    if (QString e = ensureLoaded(); !e.isEmpty()) return e;
    return feed.requestSymbol(symbol).description;
}

void ClientCore::queueDownload(const QByteArray& symbol, float interval, double from, double to) {
    history.list.queue(symbol, interval, from, to);
    // A finished slot loses its symbol: the status keeps what was asked.
    if (const std::int32_t slot = history.list.find(symbol, interval))
        statusMemory_.names.insert(slot, {TrueTrim(symbol), interval});
    refreshStatus();
}

// ---------------------------------------------------------------------------
// The host's status

namespace {

QString feedStateName(FeedState s) {
    switch (s) {
    case FeedState::Idle: return QStringLiteral("idle");
    case FeedState::Connecting:
    case FeedState::Connected: return QStringLiteral("connecting");
    case FeedState::Dialogue: return QStringLiteral("dialogue");
    case FeedState::LoggedOn: return QStringLiteral("logged-on");
    case FeedState::Refused: return QStringLiteral("refused");
    case FeedState::Lost: return QStringLiteral("lost");
    case FeedState::LoggedOff: return QStringLiteral("logged-off");
    }
    return {};
}

QString historicStateName(HistoricState s) {
    switch (s) {
    case HistoricState::Idle: return QStringLiteral("idle");
    case HistoricState::Connecting: return QStringLiteral("connecting");
    case HistoricState::Dialogue: return QStringLiteral("dialogue");
    case HistoricState::Requested: return QStringLiteral("requested");
    case HistoricState::Transferring: return QStringLiteral("transferring");
    }
    return {};
}

} // namespace

void ClientCore::setStatusLine(const QByteArray& text) {
    controls.statusLine = text;
    ClientStatus::instance().setStatusText(BytesToBus(text));
}

void ClientCore::setMessageLine(const QByteArray& text) {
    controls.messageLine = text;
    ClientStatus::instance().setServerMessage(BytesToBus(text));
}

void ClientCore::setClients(const QByteArray& text) {
    controls.clients = text;
    ClientStatus::instance().setClients(text.toInt());
}

void ClientCore::serverNote(const QByteArray& text) {
    emit ClientStatus::instance().Note(BytesToBus(text));
}

void ClientCore::stateChanged(FeedState state) {
    ClientStatus::instance().setFeedState(feedStateName(state));
}

void ClientCore::stateChanged(HistoricState state) {
    statusMemory_.bytesSinceMs = statusClock();
    ClientStatus::instance().setHistoricState(historicStateName(state));
}

void ClientCore::downloadEnded(const QByteArray& symbol, float interval, bool ok,
                               const QByteArray& reason) {
    refreshStatus(); // the list as it ends
    emit ClientStatus::instance().DownloadEnded(BytesToBus(symbol), interval, ok,
                                                BytesToBus(reason));
}

void ClientCore::refreshStatus() {
    ClientStatus& status = ClientStatus::instance();
    StatusMemory& m = statusMemory_;
    const qint64 now = statusClock();

    // Messages since the last logon restart at 0: the total goes on.
    const std::int32_t received = feed.received();
    m.total += quint64(received >= m.received ? received - m.received : received);
    m.received = received;
    const FeedSession::Counters& c = feed.counters();
    status.setCounters(m.total, quint64(c.skippedChunks), quint64(c.droppedChunks));
    if ((c.skippedChunks != m.skipped || c.droppedChunks != m.dropped) &&
        (m.overloadMs < 0 || now - m.overloadMs >= 1000)) {
        emit status.Overloaded(quint64(c.skippedChunks - m.skipped),
                               quint64(c.droppedChunks - m.dropped));
        m.skipped = c.skippedChunks;
        m.dropped = c.droppedChunks;
        m.overloadMs = now;
    }

    if (const auto& symbols = feed.symbols(); qsizetype(symbols.size()) != m.symbols) {
        QStringList list;
        for (const QByteArray& s : symbols) list << BytesToBus(s.trimmed());
        status.setSubscriptions(list);
        m.symbols = qsizetype(symbols.size());
    }

    if (history.list.generation() != m.downloads || history.currentItem() != m.current) {
        if (history.list.count() == 0) m.names.clear();
        QList<DownloadEntry> list;
        for (std::int32_t i = 1; i <= history.list.count(); ++i) {
            const DownItem item = history.list.item(i);
            const auto asked = m.names.value(i, {TrueTrim(item.S), item.Ty});
            list.append({BytesToBus(item.pending() ? TrueTrim(item.S) : asked.first),
                         double(item.pending() ? item.Ty : asked.second), history.list.startDate(i),
                         history.list.endDate(i),
                         i == history.currentItem() ? QStringLiteral("active")
                         : item.pending()           ? QStringLiteral("pending")
                                                    : QStringLiteral("finished")});
        }
        status.setDownloads(list);
        m.downloads = history.list.generation();
        m.current = history.currentItem();
    }

    // A transfer with no byte for a minute is shown as stalled; it goes on.
    const std::int64_t bytes = history.archiveBytes();
    status.setDownloadBytes(quint64(bytes));
    if (bytes != m.archiveBytes) {
        m.archiveBytes = bytes;
        m.bytesSinceMs = now;
    }
    if (history.state() == HistoricState::Transferring)
        status.setHistoricState(now - m.bytesSinceMs >= qint64(ClientStatus::StallSeconds) * 1000
                                    ? QStringLiteral("stalled")
                                    : QStringLiteral("transferring"));
}

void ClientCore::unloadWindow() {
    if (!loaded_) return;
    statusTimer_.stop();
    const std::int16_t reconnect = controls.reconnect;
    controls.reconnect = 0;
    Controls saved = controls;
    saved.reconnect = reconnect;
    const QString err = SaveSettings(settingsPath_, saved);
    if (!err.isEmpty()) {
        controls.messageLine = err.toLatin1();
        std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(err));
    }
    sender.SendToServer("#N"); // a closed socket refuses it; that is fine here
    feedSocket.Close();
    closeView();
}

// Timers stopped and the widget closed: the window is no longer loaded.
void ClientCore::closeView() {
    reconnectTimer.stop();
    schedulerTimer.stop();
    loaded_ = false;
    delete view_;
    view_ = nullptr;
    emit loadedChanged(false);
}

void ClientCore::stop() {
    stopped_ = true;
    statusTimer_.stop();
    handoff.unbindAll();
    feed.end();
    history.end();
    feedSocket.Close();
    historicSocket.Close();
    reconnectTimer.stop();
    schedulerTimer.stop();
    // A window that another object loaded goes without its unload step, as
    // it would with the program.
    if (loaded_) closeView();
}

void ClientCore::setReceived(std::int32_t count) {
    controls.received = count;
}

void ClientCore::chunkRead(qint64 bytes) {
    feedBytesRead += bytes;
    tuning_.chunkRead(bytes);
    if (afterRead) std::exchange(afterRead, nullptr)();
}

void ClientCore::focusUserName() {
    if (view_) view_->focusUserName();
}

void ClientCore::showNote(const QByteArray& text) {
    if (messageBox) {
        messageBox(text);
        return;
    }
    QMessageBox box(QMessageBox::Information, QStringLiteral("QXDataClient"),
                    QString::fromLatin1(text), QMessageBox::Ok, view_);
    box.exec();
}

void ClientCore::repaintNow() {
    if (view_) view_->refresh(true);
}

} // namespace qxd
