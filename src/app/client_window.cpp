#include "app/client_window.h"

#include "app/panel_style.h"
#include "app/qxdclient.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleHints>
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

ClientWindow::ClientWindow(QXDClient& client)
    : QWidget(nullptr)
    , c_(client) {
    setObjectName(QStringLiteral("QXDClient"));
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
                    [this, field](const QString& s) { c_.ctl.*field = s.toLatin1(); });
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

    serverIP_ = edit("ServerIP", 1080, 360, 1212, 312, &Controls::ServerIP);
    serverPort_ = edit("ServerPort", 1080, 720, 792, 312, &Controls::ServerPort);
    userName_ = edit("UserName", 1080, 1080, 1392, 288, &Controls::UserName);
    password_ = edit("Password", 1080, 1440, 1392, 288, &Controls::Password);
    password_->setEchoMode(QLineEdit::Password);
    histIp_ = edit("HistIp", 3240, 360, 1212, 312, &Controls::HistIp);
    histPort_ = edit("HistPort", 3240, 720, 792, 312, &Controls::HistPort);
    tryReconnect_ = new QCheckBox(QStringLiteral("If disconnected try reconnect"), this);
    place(tryReconnect_, "TryReconnectV", 1080, 1800, 2532, 192);
    connect(tryReconnect_, &QCheckBox::clicked, this, [this](bool on) {
        tryReconnect_->setTristate(false);
        c_.ctl.TryReconnectV = on ? 1 : 0;
    });
    command1_ = button("Command1", "Logon", 2520, 1200, 792, 372);
    command2_ = button("Command2", "Hide", 60, 2400, 852, 372);
    loghist_ = button("loghist", "Logoff Hist", 3540, 1200, 912, 372);
    loghist_->setVisible(false);
    connect(command1_, &QPushButton::clicked, this, &ClientWindow::command1Clicked);
    connect(command2_, &QPushButton::clicked, this, [this] { c_.Command2_Click(); });
    connect(loghist_, &QPushButton::clicked, this, &ClientWindow::loghistClicked);
    text1_ = edit("Text1", 1080, 2100, 3252, 315, nullptr);
    data_ = edit("Data", 1080, 2760, 3252, 312, nullptr);
    text1_->setReadOnly(true);
    data_->setReadOnly(true);
    label1_ = label("Label1", "", 1080, 2460, 2292, 252);
    label2_ = label("Label2", "Label2", 120, 3420, 4452, 672);
    label2_->setWordWrap(true);
    label2_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    cont1_ = label("Cont1", "", 3360, 2460, 972, 252);
    cont1_->setAutoFillBackground(true);
    nReceived_ = label("NReceived", "NReceived", 1080, 60, 1212, 252);
    nReceivedH_ = label("NReceivedH", "NReceived", 3240, 60, 1212, 252);
    nClients_ = label("NClients", "NClients", 2460, 60, 612, 252);
    label("Label3", "User Name", 120, 1140, 912, 192);
    label("Label4", "Password", 180, 1500, 852, 192);
    label("Label5", "Data IP", 60, 420, 972, 192);
    label("Label6", "Data Port", 120, 780, 912, 192);
    label("Label7", "Historic IP", 2340, 420, 852, 192);
    label("Label8", "Historic Port", 2160, 780, 1032, 192);

    // Made after the boxes, so it is deleted after them.
    panelStyle_ = new PanelCacheStyle;
    panelStyle_->setParent(this);
    for (auto* e : findChildren<QLineEdit*>()) e->setStyle(panelStyle_);

    // The client's procedures change values at any rate; the widget follows
    // a few times a second rather than on every change, and less often
    // while the feed is too fast for a repaint to be free.
    poll_ = new QTimer(this);
    poll_->setObjectName(QStringLiteral("refreshTick"));
    poll_->setInterval(100);
    connect(poll_, &QTimer::timeout, this, &ClientWindow::tick);
    poll_->start();
    heldTimer_ = new QTimer(this);
    heldTimer_->setObjectName(QStringLiteral("heldUntilRead"));
    heldTimer_->setSingleShot(true);
    connect(heldTimer_, &QTimer::timeout, this, &ClientWindow::releaseHeld);
    tickClock_.start();

    caretFlashMs_ = QGuiApplication::styleHints()->cursorFlashTime();
    caretRest_ = new QTimer(this);
    caretRest_->setObjectName(QStringLiteral("caretRest"));
    caretRest_->setSingleShot(true);
    caretRest_->setInterval(CaretBlinkMs);
    connect(caretRest_, &QTimer::timeout, this,
            [] { QGuiApplication::styleHints()->setCursorFlashTime(0); });
    for (auto* e : findChildren<QLineEdit*>()) e->installEventFilter(this);
    wakeCaret();
    refresh();
}

ClientWindow::~ClientWindow() {
    // The blink period is the application's; leave it as the desktop set it.
    if (qGuiApp) QGuiApplication::styleHints()->setCursorFlashTime(caretFlashMs_);
}

bool ClientWindow::caretBlinks() const {
    return QGuiApplication::styleHints()->cursorFlashTime() != 0;
}

void ClientWindow::wakeCaret() {
    if (!caretBlinks()) QGuiApplication::styleHints()->setCursorFlashTime(caretFlashMs_);
    caretRest_->start();
}

bool ClientWindow::eventFilter(QObject* watched, QEvent* e) {
    switch (e->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::FocusIn:
        wakeCaret();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, e);
}

bool RefreshDue(qint64 feedBytes, qint64 tickMs, qint64 costUs, qint64 staleMs) {
    if (staleMs >= MaxStaleMs) return true;
    // Bytes that arrive during the refresh, at the last tick's rate, against
    // half the chunk limit; in integers, with a tick of at least 1 ms.
    return feedBytes * costUs <=
           FeedConnection::OverloadChunk / 2 * 1000 * std::max<qint64>(1, tickMs);
}

void ClientWindow::tick() {
    const qint64 ms = tickClock_.restart();
    // The tick's average, or the feed's rate now where that is higher: at a
    // burst after a quiet spell the average is still low.
    qint64 bytes = c_.feed.bytesRead - tickBytes_;
    tickBytes_ = c_.feed.bytesRead;
    bytes = std::max(bytes, c_.feed.busyPoll().recentCharsPerMs() * ms);
    // The constructor's refresh started sinceRefresh_.
    if (!RefreshDue(bytes, ms, refreshCostUs(), sinceRefresh_.elapsed())) return;
    // While the feed is fast the refresh waits for the next read, as the
    // repaint does (see event()); the repaint it asks for then waits for the
    // read after that, so the two never fall into one gap between reads.
    if (c_.feed.busyPoll().polling()) {
        if (!refreshHeld_) {
            refreshHeld_ = true;
            holdUntilRead();
        }
        return;
    }
    refresh();
}

void ClientWindow::holdUntilRead() {
    c_.feed.afterRead = [w = QPointer<ClientWindow>(this)] {
        if (w) w->releaseHeld();
    };
    heldTimer_->start(MaxHeldMs);
}

// One held step a read: the refresh first, a held repaint on a later read.
void ClientWindow::releaseHeld() {
    c_.feed.afterRead = nullptr;
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

bool ClientWindow::event(QEvent* e) {
    // While the feed is fast, the repaint waits for the next read of the
    // socket: the feed's bytes come in bursts, and right after one is read
    // the next is furthest away, so fewer of them pile up during the
    // repaint. A few milliseconds at most.
    if (e->type() == QEvent::UpdateRequest && !flushing_ && c_.feed.busyPoll().polling()) {
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

void ClientWindow::refresh(bool now) {
    QElapsedTimer t;
    t.start();
    sinceRefresh_.start();
    const Controls& c = c_.ctl;
    bool changed = false;
    setWindowTitle(shown(c.Caption));
    changed |= setTextIfChanged(serverIP_, latin1(c.ServerIP));
    changed |= setTextIfChanged(serverPort_, latin1(c.ServerPort));
    changed |= setTextIfChanged(userName_, latin1(c.UserName));
    changed |= setTextIfChanged(password_, latin1(c.Password));
    changed |= setTextIfChanged(histIp_, latin1(c.HistIp));
    changed |= setTextIfChanged(histPort_, latin1(c.HistPort));
    const Qt::CheckState cs = c.TryReconnectV == 0   ? Qt::Unchecked
                              : c.TryReconnectV == 1 ? Qt::Checked
                                                     : Qt::PartiallyChecked;
    if (tryReconnect_->checkState() != cs) {
        changed = true;
        tryReconnect_->setTristate(cs == Qt::PartiallyChecked);
        tryReconnect_->setCheckState(cs);
    }
    changed |= setTextIfChanged(command1_, shown(c.Command1));
    loghist_->setVisible(c.loghistVisible);
    changed |= setTextIfChanged(text1_, shown(c.Text1));
    changed |= setTextIfChanged(data_, shown(c_.handoff.Data()));
    changed |= setTextIfChanged(label1_, shown(c.Label1));
    changed |= setTextIfChanged(label2_, shown(c.Label2));
    changed |= setTextIfChanged(nClients_, shown(c.NClients));
    changed |= setTextIfChanged(nReceived_, counter(c.NReceived, "NReceived"));
    changed |= setTextIfChanged(nReceivedH_, counter(c.NReceivedH, "NReceived"));
    changed |= setTextIfChanged(cont1_, c.Cont1 ? QString::number(*c.Cont1) : QString());
    if (int(c.Cont1Back) != cont1Back_) {
        changed = true;
        cont1Back_ = int(c.Cont1Back);
        QPalette p = cont1_->palette();
        if (c.Cont1Back == Back::Yellow)
            p.setColor(QPalette::Window, QColor(255, 255, 0));
        else if (c.Cont1Back == Back::LightGrey)
            p.setColor(QPalette::Window, QColor(192, 192, 192));
        else
            p = palette();
        cont1_->setPalette(p);
    }
    if (changed) refreshUs_ = t.nsecsElapsed() / 1000;
    paintPending_ = paintPending_ || changed;
    if (!now) return;
    t.restart();
    repaint();
    if (std::exchange(paintPending_, false)) paintUs_ = t.nsecsElapsed() / 1000;
}

void ClientWindow::makeTopmost() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    move(0, 0);
}

void ClientWindow::focusUserName() {
    userName_->setFocus();
}

QWidget* ClientWindow::control(const char* name) const {
    return findChild<QWidget*>(QString::fromLatin1(name));
}

// The host owns the window's life: closing it only minimises it.
void ClientWindow::closeEvent(QCloseEvent* e) {
    e->ignore();
    showMinimized();
}

} // namespace qxd
