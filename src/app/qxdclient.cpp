#include "app/qxdclient.h"

#include "app/client_window.h"
#include "app/settings.h"

#include <QMessageBox>

#include <cstdio>
#include <utility>

namespace qxd {

namespace {
QXDClient* g_instance = nullptr;
ClientOptions g_instanceOptions; // taken by the next instance()

std::unique_ptr<SocketComponent> orTcp(std::unique_ptr<SocketComponent> s) {
    return s ? std::move(s) : std::make_unique<TcpSocket>();
}
} // namespace

QXDClient::QXDClient(ClientOptions o, QObject* parent)
    : QObject(parent)
    , sockOwned_(orTcp(std::move(o.sock)))
    , sockhistOwned_(orTcp(std::move(o.sockhist)))
    , sock(*sockOwned_)
    , sockhist(*sockhistOwned_)
    , sender(sock)
    , records(handoff, sender.LogoffFlag)
    , feed(*this)
    , hist(*this)
    , timing_(o.timing)
    , settingsPath_(o.settingsPath.isEmpty() ? DefaultSettingsPath() : o.settingsPath) {
    Timer1.setInterval(timing_.timer1);
    TimerHist.setInterval(timing_.timerHist);
    // Named for whoever lists the events that held the thread.
    Timer1.setObjectName(QStringLiteral("Timer1"));
    TimerHist.setObjectName(QStringLiteral("TimerHist"));
}

QXDClient::~QXDClient() {
    delete view_;
    if (g_instance == this) g_instance = nullptr;
}

QXDClient* QXDClient::instance() {
    if (!g_instance) {
        const ClientTiming timing = g_instanceOptions.timing;
        g_instance = new QXDClient(std::exchange(g_instanceOptions, {}));
        g_instanceOptions.timing = timing;
    }
    return g_instance;
}

QXDClient* QXDClient::existingInstance() {
    return g_instance;
}

void QXDClient::setInstanceTiming(const ClientTiming& t) {
    g_instanceOptions.timing = t;
}

void QXDClient::setInstanceOptions(ClientOptions o) {
    g_instanceOptions = std::move(o);
}

void QXDClient::destroyInstance() {
    delete g_instance;
    g_instance = nullptr;
}

QString QXDClient::stoppedText() {
    return QStringLiteral("The client has stopped: its last object was released");
}

QString QXDClient::ensureLoaded() {
    if (stopped_) return stoppedText();
    if (loaded_) return {};
    loaded_ = true;
    // Both timers run from the moment the window is loaded.
    Timer1.start(timing_.timer1);
    TimerHist.start(timing_.timerHist);
    view_ = new ClientWindow(*this);
    connect(view_, &ClientWindow::command1Clicked, &feed, &FeedConnection::Command1_Click);
    connect(view_, &ClientWindow::loghistClicked, &hist, &HistoricConnection::loghist_Click);
    QString err = LoadSettings(settingsPath_, ctl);
    if (err.isEmpty()) view_->makeTopmost();
    view_->refresh();
    emit loadedChanged(true);
    return err;
}

QString QXDClient::Show() {
    const QString err = ensureLoaded();
    if (view_) view_->show();
    return err;
}

QString QXDClient::ShowMe() {
    const QString err = Show();
    if (!view_) return err;
    view_->setWindowState(view_->windowState() & ~Qt::WindowMinimized);
    view_->showNormal();
    return err;
}

void QXDClient::Command2_Click() {
    if (view_) view_->showMinimized();
}

void QXDClient::Unload() {
    if (!loaded_) return;
    const std::int16_t reconnect = ctl.TryReconnectV;
    ctl.TryReconnectV = 0;
    Controls saved = ctl;
    saved.TryReconnectV = reconnect;
    const QString err = SaveSettings(settingsPath_, saved);
    if (!err.isEmpty()) {
        ctl.Label2 = err.toLatin1();
        std::fprintf(stderr, "qxdataclient: %s\n", qPrintable(err));
    }
    sender.SendToServer("#N"); // a closed socket refuses it; that is fine here
    sock.Close();
    Timer1.stop();
    TimerHist.stop();
    loaded_ = false;
    delete view_;
    view_ = nullptr;
    emit loadedChanged(false);
}

void QXDClient::stop() {
    stopped_ = true;
    handoff.unbindAll();
    sock.Close();
    sockhist.Close();
    Timer1.stop();
    TimerHist.stop();
    // A window that another object loaded goes without its unload step, as
    // it would with the program.
    if (loaded_) {
        loaded_ = false;
        delete view_;
        view_ = nullptr;
        emit loadedChanged(false);
    }
}

void QXDClient::focusUserName() {
    if (view_) view_->focusUserName();
}

void QXDClient::showMessage(const QByteArray& text) {
    if (messageBox) {
        messageBox(text);
        return;
    }
    QMessageBox box(QMessageBox::Information, QStringLiteral("QXDataClient"),
                    QString::fromLatin1(text), QMessageBox::Ok, view_);
    box.exec();
}

void QXDClient::repaintNow() {
    if (view_) view_->refresh(true);
}

} // namespace qxd
