#include "feed/feed.h"

#include "app/qxdclient.h"
#include "wire/convert.h"
#include "wire/pack.h"

#include <QCoreApplication>
#include <QPointer>

#include <limits>

namespace qxd {

namespace {

QByteArray rest(const QByteArray& s, qsizetype k) {
    return s.size() > k ? s.sliced(k) : QByteArray();
}

QByteArray fixedEntry(QByteArrayView s) {
    QByteArray e = s.first(std::min(s.size(), SymbolEntryWidth)).toByteArray();
    e.append(QByteArray(SymbolEntryWidth - e.size(), ' '));
    return e;
}

} // namespace

FeedConnection::FeedConnection(QXDClient& client)
    : c_(client) {
    connect(&c_.sock, &SocketComponent::connected, this, &FeedConnection::sock_Connect);
    connect(&c_.sock, &SocketComponent::closed, this, &FeedConnection::sock_Close);
    connect(&c_.sock, &SocketComponent::error, this, &FeedConnection::sock_Error);
    connect(&c_.sock, &SocketComponent::dataArrival, this, &FeedConnection::sock_DataArrival);
    connect(&c_.Timer1, &QTimer::timeout, this, &FeedConnection::Timer1_Timer);
}

bool FeedConnection::yield() {
    QPointer<FeedConnection> self(this);
    QCoreApplication::processEvents();
    return !self.isNull();
}

void FeedConnection::closeLoop() {
    busyPoll_.stop();
    while (c_.sock.State() != SocketComponent::Closed) {
        c_.sock.Close();
        c_.ctl.Label1 = "Closing socket";
    }
}

// ---------------------------------------------------------------------------
// Connection, logon and reconnect

void FeedConnection::Command1_Click() {
    c_.ensureLoaded();
    c_.focusUserName();
    if (LoggedOn == 1) {
        c_.sender.SendToServer("#N"); // a failure here is of no consequence
        c_.sender.LogoffFlag = 1;
        for (int i = 0; i < LogoffYields; ++i)
            if (!yield()) return;
        closeLoop();
        LoggedOn = 0;
        c_.ctl.Command1 = "Logon";
        ReconnectOnClose = false;
        return;
    }

    c_.sender.LogoffFlag = 0;
    closeLoop();
    ReceivedCount = 0;
    c_.ReceivedCountHist = 0;
    c_.sock.RemoteHost = QString::fromLatin1(c_.ctl.ServerIP);
    // A port that does not fit keeps the previous one; the connect reports.
    if (auto port = ToInt32(Val(c_.ctl.ServerPort))) c_.sock.RemotePort = *port;
    while (c_.sock.State() == SocketComponent::Open) {
        c_.sock.Close();
        c_.ctl.Label1 = "Closing socket";
    }
    SocketFailure f = c_.sock.Connect();
    if (!f) return; // the Connect or Error event follows

    // A start that failed at once: close thoroughly, try once more, show
    // what the second start said and leave the socket closed.
    QPointer<FeedConnection> self(this);
    c_.sock.Close();
    for (int i = 0; i < 100; ++i) {
        c_.sock.Close();
        if (!yield()) return;
    }
    f = c_.sock.Connect();
    if (!yield() || !yield()) return;
    c_.ctl.Label1 = f.description.toLatin1();
    c_.repaintNow();
    if (!yield()) return;
    c_.sock.Close();
}

void FeedConnection::sock_Connect() {
    c_.ctl.Label1 = "connected";
}

void FeedConnection::armReconnect() {
    if (!ReconnectOnClose) return;
    c_.Timer1.start(1);
    ReconnectOnClose = false;
    LoggedOn = 0;
    c_.ctl.Command1 = "Logon";
}

void FeedConnection::sock_Close() {
    busyPoll_.stop();
    armReconnect();
}

void FeedConnection::sock_Error(int, const QString& description) {
    busyPoll_.stop();
    c_.ctl.Label1 = description.toLatin1();
    armReconnect();
}

void FeedConnection::Timer1_Timer() {
    if (c_.ctl.Password.isEmpty()) return;
    if (c_.ctl.TryReconnectV == 0) return;
    if (LogonRefused == 1) {
        c_.Timer1.stop();
        return;
    }
    c_.Timer1.setInterval(c_.timing().timer1);
    QPointer<FeedConnection> self(this);
    Command1_Click();
    if (self) Reconnecting = 1;
}

// ---------------------------------------------------------------------------
// Receive loop

void FeedConnection::sock_DataArrival() {
    if (c_.stopped()) return;
    if (Working != 0 || c_.sender.IsSending != 0) return; // the bytes wait in the socket
    // Lowered whatever happens below, and the socket is asked to report
    // bytes that arrived while the loop turned events away.
    struct Guard {
        QPointer<FeedConnection> self;
        ~Guard() {
            if (!self) return;
            self->Working = 0;
            self->c_.sock.Rearm();
        }
    } guard{this};
    Working = 1;

    // A chunk above the drop limit is dropped whole, so no more of it is kept
    // than it takes to tell.
    const QByteArray chunk = c_.sock.GetData(DropChunk + 1);
    bytesRead += c_.sock.lastRead();
    maxChunk = std::max<qint64>(maxChunk, c_.sock.lastRead());
    busyPoll_.arrived(c_.sock.lastRead());
    if (afterRead) std::exchange(afterRead, nullptr)();
    if (chunk.size() > OverloadChunk) {
        ++overloadedChunks;
        Overloaded = 1;
        c_.ctl.Cont1Back = Back::Yellow;
    } else {
        Overloaded = 0;
        c_.ctl.Cont1Back = Back::LightGrey;
    }
    if (chunk.size() > DropChunk) {
        ++droppedChunks;
        return;
    }

    QByteArrayView in = chunk;
    for (;;) {
        qsizetype left = 0;
        const QByteArrayView payload = extractor_.extract(in, left);
        in = {};
        if (left > 0) c_.ctl.Cont1 = left;
        QByteArray message = DeCompress(payload);
        c_.ctl.Text1 = message;
        ProcessData(message);
        if (!guard.self || c_.stopped()) return; // a host's handler ended the client
        ReceivedCount =
            ReceivedCount == std::numeric_limits<std::int32_t>::max() ? 1 : ReceivedCount + 1;
        c_.ctl.NReceived = ReceivedCount;
        if (ReceivedCount % AckEvery == 0) {
            const QByteArray ack = "#R" + FormatZero(std::int64_t(ReceivedCount));
            c_.sender.SendToServer(ack);
            c_.sender.SendToServer(ack);
        }
        if (left == 0) break;
        if (!yield() || c_.stopped()) return;
    }
}

// ---------------------------------------------------------------------------
// Dispatcher

void FeedConnection::answer(const QByteArray& text) {
    // Written straight to the socket, also while the logoff shuts
    // SendToServer. A failed write is dropped: the socket's events report
    // the lost connection.
    c_.sock.SendData(ConverteToSend(text));
}

void FeedConnection::ProcessData(const QByteArray& s) {
    if (s.isEmpty()) return;
    const char k = s[0];
    switch (k) {
    case '$':
        c_.records.ProcessTrade(QByteArrayView(s).sliced(1));
        return;
    case '}':
        serverTime(s);
        return;
    case '{':
        if (Overloaded == 0) c_.records.ProcessComplete(QByteArrayView(s).sliced(1));
        return;
    case ']':
        c_.ctl.NClients = rest(s, 1);
        c_.repaintNow();
        return;
    default:
        break;
    }
    if (k == '#') {
        if (s.size() > 2 && s[1] == 'D') {
            c_.records.ProcessCompleteReq(QByteArrayView(s).sliced(2));
            c_.ctl.Label2 = rest(s, 2);
            c_.repaintNow();
            return;
        }
        if (s.size() > 2 && s[1] == 'E') {
            c_.ctl.Label2 = "Symbol " + rest(s, 2) + " does not exist";
            return;
        }
        // Every control message: a loss from now on arms the reconnect
        // timer, and no timed logon runs while the server talks.
        ReconnectOnClose = true;
        c_.Timer1.stop();
        if (s.size() > 2 && s[1] == 'B') return;
        if (s == "#USER?") {
            answer("!" + TrueTrim(c_.ctl.UserName));
            return;
        }
        if (s == "#PASS?") {
            answer("^" + TrueTrim(c_.ctl.Password));
            return;
        }
        if (s == "#TIPO?") {
            answer("&1");
            if (Reconnecting != 0) {
                Reconnecting = 0;
                ReceivedCount = 3;
                ReDoSymbols();
            }
            return;
        }
        if (s == "#L") {
            logonAccepted();
            return;
        }
        if (s == "#O") {
            LogonRefused = 1;
            LoggedOn = 0;
            c_.ctl.Command1 = "Logon";
            c_.ctl.Label1 = "Invalid User Name or Password";
            return;
        }
        if (s == "#N") {
            c_.ctl.Label1 = "Server is disconnecting";
            c_.Timer1.start(1);
            ReconnectOnClose = false;
            LoggedOn = 0;
            c_.ctl.Command1 = "Logon";
        }
    }
    note(s);
}

void FeedConnection::note(const QByteArray& s) {
    if (s[0] != '@') {
        c_.ctl.Label2 = s;
        return;
    }
    if (s.size() <= 2) return;
    if (s[1] == '@')
        c_.showMessage(rest(s, 2)); // waits until the user closes it
    else
        c_.ctl.Label1 = rest(s, 1);
}

void FeedConnection::serverTime(const QByteArray& s) {
    const QByteArray r = rest(s, 1);
    c_.ctl.Text1 = r;
    const QByteArrayView v(r);
    auto part = [&](qsizetype from, qsizetype len) {
        return from < v.size() ? v.sliced(from, std::min(len, v.size() - from)) : QByteArrayView();
    };
    const auto year = ToInt16(Val(part(0, 4)));
    const auto month = ToInt16(Val(part(4, 2)));
    const auto day = ToInt16(Val(part(6, 2)));
    // Hour and minute must be numbers; a message without them is ignored.
    const auto hourNum = WholeNumber(part(8, 2));
    const auto minuteNum = WholeNumber(part(10, 2));
    if (!year || !month || !day || !hourNum || !minuteNum) return;
    const auto hour = ToInt16(*hourNum);
    const auto minute = ToInt16(*minuteNum);
    if (!hour || !minute) return;
    const auto date = DateSerial(*year, *month, *day);
    if (!date) return;
    c_.handoff.vQuvantixServerDateTime = *date + TimeSerial(*hour, *minute, 0);
    c_.handoff.vType = KindTime;
    c_.handoff.setData(r);
    c_.ctl.Caption = "QXD Client - " + r;
    c_.repaintNow();
}

void FeedConnection::logonAccepted() {
    if (LoggedOn == 0) {
        answer("#T");
        LoggedOn = 1;
        c_.handoff.vType = KindLogon;
        c_.handoff.setData("RQS " + LocalClockHMS());
    }
    LoggedOn = 1;
    c_.ctl.Command1 = "Logoff";
    LogonRefused = 0;
}

// ---------------------------------------------------------------------------
// Subscription commands

bool FeedConnection::loggedOnGuard() {
    if (c_.sock.State() == SocketComponent::Closed || LoggedOn == 0) {
        c_.ctl.Label1 = "Not yet logged on";
        return false;
    }
    return true;
}

SocketFailure FeedConnection::AddSymbol(QByteArrayView s) {
    if (!loggedOnGuard()) return {};
    const QByteArray trimmed = TrueTrim(s);
    if (SocketFailure f = c_.sender.SendToServer("#A" + trimmed)) return f;
    if (symbolIndex_.contains(trimmed)) return {};
    const QByteArray entry = fixedEntry(s);
    symbolIndex_.insert(TrueTrim(entry), qsizetype(symbols_.size()));
    symbols_.push_back(entry);
    return {};
}

SocketFailure FeedConnection::RequestSymbol(QByteArrayView s) {
    if (!loggedOnGuard()) return {};
    return c_.sender.SendToServer("#C" + TrueTrim(s));
}

void FeedConnection::LogOff() {
    if (LoggedOn == 1) Command1_Click();
}

void FeedConnection::ReDoSymbols() {
    // Copies: a call may change the list.
    const std::vector<QByteArray> list = symbols_;
    for (const QByteArray& e : list) AddSymbol(TrueTrim(e));
}

} // namespace qxd
