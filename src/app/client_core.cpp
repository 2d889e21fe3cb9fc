#include "app/client_core.h"

#include "app/main_window.h"
#include "app/settings.h"

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
}

void ClientCore::unloadWindow() {
    if (!loaded_) return;
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
