#include "app/main_window.h"

#include "app/client_core.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <utility>

namespace qxd {

namespace {

QString latin1(const QByteArray& b) {
    return QString::fromLatin1(b);
}

// What a status field shows of a value: the front that fits and then some.
// A message can be a 32 KB archive chunk; laying all of it out for a box
// 40 characters wide stalls the thread that reads the quotes.
QString shown(const QByteArray& b) {
    constexpr qsizetype ShownChars = 256;
    return QString::fromLatin1(b.first(std::min(b.size(), ShownChars)));
}

// Design positions are in twips; a pixel is 15 twips.
void place(QWidget* w, const char* name, int left, int top, int width, int height) {
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(qRound(left / 15.0), qRound(top / 15.0), qRound(width / 15.0),
                   qRound(height / 15.0));
}

template <class W>
bool setTextIfChanged(W* w, const QString& t) {
    if (w->text() == t) return false;
    w->setText(t);
    return true;
}

QString counter(const std::optional<std::int64_t>& v, const char* design) {
    return v ? QString::number(*v) : QString::fromLatin1(design);
}

} // namespace

MainWindow::MainWindow(ClientCore& client)
    : QWidget(nullptr)
    , c_(client) {
    setObjectName(QStringLiteral("mainWindow"));
    // The design packs the controls tightly: a small font, as it was laid
    // out for, in a condensed face where there is one, so that captions
    // such as "If disconnected try reconnect" fit their controls.
    QFont small = font();
    small.setPixelSize(11);
    small.setFamilies({QStringLiteral("DejaVu Sans Condensed"), small.family()});
    // Every text here is Latin-1; skipping the shaper (kerning and ligatures)
    // takes a fifth off each refresh of the status fields.
    small.setStyleStrategy(QFont::PreferNoShaping);
    setFont(small);
    resize(ClientWidth, ClientHeight);
    move(0, 0);

    auto edit = [this](const char* name, int l, int t, int w, int h, QByteArray Controls::*field) {
        auto* e = new QLineEdit(this);
        place(e, name, l, t, w, h);
        if (field)
            connect(e, &QLineEdit::textEdited, this,
                    [this, field](const QString& s) { c_.controls.*field = s.toLatin1(); });
        return e;
    };
    auto label = [this](const char* name, const char* text, int l, int t, int w, int h) {
        auto* lb = new QLabel(QString::fromLatin1(text), this);
        place(lb, name, l, t, w, h);
        return lb;
    };
    auto button = [this](const char* name, const char* text, int l, int t, int w, int h) {
        auto* b = new QPushButton(QString::fromLatin1(text), this);
        place(b, name, l, t, w, h);
        return b;
    };

    serverHost_ = edit("serverHost", 1080, 360, 1212, 312, &Controls::serverHost);
    serverPort_ = edit("serverPort", 1080, 720, 792, 312, &Controls::serverPort);
    userName_ = edit("userName", 1080, 1080, 1392, 288, &Controls::userName);
    password_ = edit("password", 1080, 1440, 1392, 288, &Controls::password);
    password_->setEchoMode(QLineEdit::Password);
    historicHost_ = edit("historicHost", 3240, 360, 1212, 312, &Controls::historicHost);
    historicPort_ = edit("historicPort", 3240, 720, 792, 312, &Controls::historicPort);
    reconnectBox_ = new QCheckBox(QStringLiteral("If disconnected try reconnect"), this);
    place(reconnectBox_, "reconnectBox", 1080, 1800, 2532, 192);
    connect(reconnectBox_, &QCheckBox::clicked, this, [this](bool on) {
        reconnectBox_->setTristate(false);
        c_.controls.reconnect = on ? 1 : 0;
    });
    logonButton_ = button("logonButton", "Logon", 2520, 1200, 792, 372);
    hideButton_ = button("hideButton", "Hide", 60, 2400, 852, 372);
    logoffHistButton_ = button("logoffHistButton", "Logoff Hist", 3540, 1200, 912, 372);
    logoffHistButton_->setVisible(false);
    connect(logonButton_, &QPushButton::clicked, this, &MainWindow::logonClicked);
    connect(hideButton_, &QPushButton::clicked, this, [this] { c_.hideButton(); });
    connect(logoffHistButton_, &QPushButton::clicked, this, &MainWindow::logoffHistClicked);
    lastMessage_ = edit("lastMessageBox", 1080, 2100, 3252, 315, nullptr);
    handOffBox_ = edit("handOffBox", 1080, 2760, 3252, 312, nullptr);
    lastMessage_->setReadOnly(true);
    handOffBox_->setReadOnly(true);
    statusLabel_ = label("statusLabel", "", 1080, 2460, 2292, 252);
    messageLabel_ = label("messageLabel", "Label2", 120, 3420, 4452, 672);
    messageLabel_->setWordWrap(true);
    messageLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    bufferLabel_ = label("bufferLabel", "", 3360, 2460, 972, 252);
    bufferLabel_->setAutoFillBackground(true);
    receivedLabel_ = label("receivedLabel", "NReceived", 1080, 60, 1212, 252);
    receivedHistoricLabel_ = label("receivedHistoricLabel", "NReceived", 3240, 60, 1212, 252);
    clientsLabel_ = label("clientsLabel", "NClients", 2460, 60, 612, 252);
    label("userNameCaption", "User Name", 120, 1140, 912, 192);
    label("passwordCaption", "Password", 180, 1500, 852, 192);
    label("serverHostCaption", "Data IP", 60, 420, 972, 192);
    label("serverPortCaption", "Data Port", 120, 780, 912, 192);
    label("historicHostCaption", "Historic IP", 2340, 420, 852, 192);
    label("historicPortCaption", "Historic Port", 2160, 780, 1032, 192);

    // The client's procedures change values at any rate; the widget follows
    // a few times a second rather than on every change, and less often
    // while the feed is too fast for a repaint to be free.
    poll_ = new QTimer(this);
    poll_->setObjectName(QStringLiteral("refreshTick"));
    poll_->setInterval(100);
    connect(poll_, &QTimer::timeout, this, &MainWindow::tick);
    poll_->start();
    heldTimer_ = new QTimer(this);
    heldTimer_->setObjectName(QStringLiteral("heldUntilRead"));
    heldTimer_->setSingleShot(true);
    connect(heldTimer_, &QTimer::timeout, this, &MainWindow::releaseHeld);
    tickClock_.start();

    refresh();
}

MainWindow::~MainWindow() = default;

bool RefreshDue(qint64 feedBytes, qint64 tickMs, qint64 costUs, qint64 staleMs) {
    if (staleMs >= MaxStaleMs) return true;
    // Bytes that arrive during the refresh, at the last tick's rate, against
    // half the chunk limit; in integers, with a tick of at least 1 ms.
    return feedBytes * costUs <=
           FeedSession::OverloadChunk / 2 * 1000 * std::max<qint64>(1, tickMs);
}

void MainWindow::tick() {
    if (!c_.tuning().on()) {
        refresh();
        return;
    }
    const qint64 ms = tickClock_.restart();
    // The tick's average, or the feed's rate now where that is higher: at a
    // burst after a quiet spell the average is still low.
    qint64 bytes = c_.feedBytesRead - tickBytes_;
    tickBytes_ = c_.feedBytesRead;
    bytes = std::max(bytes, c_.tuning().recentCharsPerMs() * ms);
    // The constructor's refresh started sinceRefresh_.
    if (!RefreshDue(bytes, ms, refreshCostUs(), sinceRefresh_.elapsed())) return;
    // While the feed is fast the refresh waits for the next read, as the
    // repaint does (see event()); the repaint it asks for then waits for the
    // read after that, so the two never fall into one gap between reads.
    if (c_.tuning().polling()) {
        if (!refreshHeld_) {
            refreshHeld_ = true;
            holdUntilRead();
        }
        return;
    }
    refresh();
}

void MainWindow::holdUntilRead() {
    c_.afterRead = [w = QPointer<MainWindow>(this)] {
        if (w) w->releaseHeld();
    };
    heldTimer_->start(MaxHeldMs);
}

// One held step a read: the refresh first, a held repaint on a later read.
void MainWindow::releaseHeld() {
    c_.afterRead = nullptr;
    heldTimer_->stop();
    if (std::exchange(refreshHeld_, false)) {
        refresh();
        if (held_) holdUntilRead();
        return;
    }
    if (!std::exchange(held_, false)) return;
    QEvent ev(QEvent::UpdateRequest);
    flushing_ = true;
    event(&ev);
    flushing_ = false;
}

bool MainWindow::event(QEvent* e) {
    // While the feed is fast, the repaint waits for the next read of the
    // socket: the feed's bytes come in bursts, and right after one is read
    // the next is furthest away, so fewer of them pile up during the
    // repaint. A few milliseconds at most.
    if (e->type() == QEvent::UpdateRequest && !flushing_ && c_.tuning().polling()) {
        if (!held_) {
            held_ = true;
            if (!refreshHeld_) holdUntilRead();
        }
        return true;
    }
    // Only the repaint that follows a refresh tells what a refresh costs;
    // the user name's blinking cursor alone repaints far less.
    if (e->type() != QEvent::UpdateRequest || !paintPending_) return QWidget::event(e);
    paintPending_ = false;
    QElapsedTimer t;
    t.start();
    const bool r = QWidget::event(e);
    paintUs_ = t.nsecsElapsed() / 1000;
    return r;
}

void MainWindow::refresh(bool now) {
    QElapsedTimer t;
    t.start();
    sinceRefresh_.start();
    const Controls& c = c_.controls;
    bool changed = false;
    setWindowTitle(shown(c.caption));
    changed |= setTextIfChanged(serverHost_, latin1(c.serverHost));
    changed |= setTextIfChanged(serverPort_, latin1(c.serverPort));
    changed |= setTextIfChanged(userName_, latin1(c.userName));
    changed |= setTextIfChanged(password_, latin1(c.password));
    changed |= setTextIfChanged(historicHost_, latin1(c.historicHost));
    changed |= setTextIfChanged(historicPort_, latin1(c.historicPort));
    const Qt::CheckState cs = c.reconnect == 0   ? Qt::Unchecked
                              : c.reconnect == 1 ? Qt::Checked
                                                 : Qt::PartiallyChecked;
    if (reconnectBox_->checkState() != cs) {
        changed = true;
        reconnectBox_->setTristate(cs == Qt::PartiallyChecked);
        reconnectBox_->setCheckState(cs);
    }
    changed |= setTextIfChanged(logonButton_, shown(c.logonCaption));
    logoffHistButton_->setVisible(c.logoffHistVisible);
    changed |= setTextIfChanged(lastMessage_, shown(c.lastMessage));
    changed |= setTextIfChanged(handOffBox_, shown(c_.handoff.Data()));
    changed |= setTextIfChanged(statusLabel_, shown(c.statusLine));
    changed |= setTextIfChanged(messageLabel_, shown(c.messageLine));
    changed |= setTextIfChanged(clientsLabel_, shown(c.clients));
    changed |= setTextIfChanged(receivedLabel_, counter(c.received, "NReceived"));
    changed |= setTextIfChanged(receivedHistoricLabel_, counter(c.receivedHistoric, "NReceived"));
    changed |=
        setTextIfChanged(bufferLabel_, c.bufferLeft ? QString::number(*c.bufferLeft) : QString());
    if (int(c.bufferLeftBack) != bufferBack_) {
        changed = true;
        bufferBack_ = int(c.bufferLeftBack);
        QPalette p = bufferLabel_->palette();
        if (c.bufferLeftBack == Back::Yellow)
            p.setColor(QPalette::Window, QColor(255, 255, 0));
        else if (c.bufferLeftBack == Back::LightGrey)
            p.setColor(QPalette::Window, QColor(192, 192, 192));
        else
            p = palette();
        bufferLabel_->setPalette(p);
    }
    if (changed) refreshUs_ = t.nsecsElapsed() / 1000;
    paintPending_ = paintPending_ || changed;
    if (!now) return;
    t.restart();
    repaint();
    if (std::exchange(paintPending_, false)) paintUs_ = t.nsecsElapsed() / 1000;
}

void MainWindow::makeTopmost() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    move(0, 0);
}

void MainWindow::focusUserName() {
    userName_->setFocus();
}

QWidget* MainWindow::control(const char* name) const {
    return findChild<QWidget*>(QString::fromLatin1(name));
}

// The host owns the window's life: closing it only minimises it.
void MainWindow::closeEvent(QCloseEvent* e) {
    e->ignore();
    showMinimized();
}

} // namespace qxd
