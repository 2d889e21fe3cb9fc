#include "feed/session.h"

#include "wire/convert.h"
#include "wire/pack.h"

#include <limits>
#include <utility>

namespace qxd {

namespace {

QByteArray rest(const QByteArray& s, qsizetype k) {
    return s.size() > k ? s.sliced(k) : QByteArray();
}

QByteArray fixedEntry(QByteArrayView s) {
    QByteArray e = s.first(std::min(s.size(), FeedSession::SymbolEntryWidth)).toByteArray();
    e.append(QByteArray(FeedSession::SymbolEntryWidth - e.size(), ' '));
    return e;
}

std::int32_t nextCount(std::int32_t n) {
    return n == std::numeric_limits<std::int32_t>::max() ? 1 : n + 1;
}

} // namespace

FeedSession::FeedSession(SocketComponent& sock, FeedSender& sender, HandOff& handOff,
                         SessionTimer& reconnectTimer, FeedPanel& panel, Yield yield)
    : sock_(sock)
    , sender_(sender)
    , handOff_(handOff)
    , reconnectTimer_(reconnectTimer)
    , panel_(panel)
    , yield_(std::move(yield))
    , records_(handOff, sender.shut) {}

void FeedSession::setState(FeedState s) {
    if (s == state_) return;
    state_ = s;
    panel_.stateChanged(s);
}

void FeedSession::closeThoroughly() {
    panel_.readingStopped();
    while (sock_.State() != SocketComponent::Closed) {
        sock_.Close();
        panel_.setStatusLine("Closing socket");
    }
}

// ---------------------------------------------------------------------------
// Connection, logon and reconnect

void FeedSession::logonButton() {
    panel_.focusUserName();
    if (loggedOn()) {
        sender_.SendToServer("#N"); // a failure here is of no consequence
        sender_.shut = true;
        for (int i = 0; i < LogoffYields; ++i)
            if (!yield()) return;
        closeThoroughly();
        setState(FeedState::LoggedOff);
        panel_.setLogonCaption("Logon");
        lossArmsReconnect_ = false;
        return;
    }

    sender_.shut = false;
    closeThoroughly();
    received_ = 0;
    panel_.logonStarted();
    sock_.RemoteHost = QString::fromLatin1(panel_.serverHost());
    // A port that does not fit keeps the previous one; the connect reports.
    if (auto port = ToInt32(Val(panel_.serverPort()))) sock_.RemotePort = *port;
    while (sock_.State() == SocketComponent::Open) {
        sock_.Close();
        panel_.setStatusLine("Closing socket");
    }
    setState(FeedState::Connecting);
    const ConnectOutcome o = ConnectWithRetry(sock_, liveness_, yield_, panel_);
    if (!o.survived || !o.retried) return; // the connected or error event follows
    // The attempt is over; the next one comes from the timer or the user.
    sock_.Close();
}

void FeedSession::connected() {
    if (state_ == FeedState::Connecting) setState(FeedState::Connected);
    panel_.setStatusLine("connected");
}

// A loss of an established dialogue arms the reconnect timer.
void FeedSession::lost() {
    if (!lossArmsReconnect_) {
        if (state_ == FeedState::Connecting || state_ == FeedState::Connected)
            setState(FeedState::Idle);
        return;
    }
    reconnectTimer_.start(1);
    lossArmsReconnect_ = false;
    setState(FeedState::Lost);
    panel_.setLogonCaption("Logon");
}

void FeedSession::closedByPeer() {
    panel_.readingStopped();
    lost();
}

void FeedSession::failed(int, const QString& description) {
    panel_.readingStopped();
    panel_.setStatusLine(description.toLatin1());
    lost();
}

void FeedSession::reconnectTick() {
    if (panel_.password().isEmpty()) return;
    if (!panel_.reconnectTicked()) return;
    if (refused_) {
        reconnectTimer_.stop();
        return;
    }
    reconnectTimer_.setInterval(reconnectIntervalMs);
    const auto alive = liveness_.token();
    logonButton();
    if (*alive) timerStartedLogon_ = true;
}

// ---------------------------------------------------------------------------
// Receive loop

void FeedSession::end() {
    ended_ = true;
    panel_.readingStopped();
}

void FeedSession::readable() {
    if (ended_) return;
    if (receiving_ || sender_.writing) return; // the bytes wait in the socket
    // Lowered whatever happens below, and the socket is asked to report
    // bytes that arrived while the loop turned events away.
    struct Guard {
        FeedSession* session;
        bool alive = true;
        ~Guard() {
            if (!alive) return;
            session->receiving_ = false;
            session->sock_.Rearm();
        }
    } guard{this};
    receiving_ = true;

    // A chunk above the drop limit is dropped whole, so no more of it is kept
    // than it takes to tell.
    const QByteArray chunk = sock_.GetData(DropChunk + 1);
    const qint64 read = sock_.lastRead();
    counters_.bytesRead += read;
    counters_.maxChunk = std::max(counters_.maxChunk, read);
    panel_.chunkRead(read);
    lastChunkOverloaded_ = chunk.size() > OverloadChunk;
    if (lastChunkOverloaded_) ++counters_.skippedChunks;
    panel_.setOverloaded(lastChunkOverloaded_);
    if (chunk.size() > DropChunk) {
        ++counters_.droppedChunks;
        return;
    }

    // Whether this session outlives a host's handler or a yield: read once,
    // not a shared count touched per message.
    const auto alive = liveness_.token();
    QByteArrayView in = chunk;
    for (;;) {
        qsizetype left = 0;
        const QByteArrayView payload = extractor_.extract(in, left);
        in = {};
        if (left > 0) panel_.setBufferLeft(left);
        QByteArray message = DeCompress(payload);
        panel_.setLastMessage(message);
        dispatch(message);
        if (!*alive) {
            guard.alive = false;
            return;
        }
        if (ended_) return; // a host's handler ended the client
        received_ = nextCount(received_);
        panel_.setReceived(received_);
        if (received_ % AckEvery == 0) {
            const QByteArray ack = "#R" + FormatZero(std::int64_t(received_));
            sender_.SendToServer(ack);
            sender_.SendToServer(ack);
        }
        if (left == 0) break;
        if (yield_) yield_();
        if (!*alive) {
            guard.alive = false;
            return;
        }
        if (ended_) return;
    }
}

// ---------------------------------------------------------------------------
// Dispatcher

void FeedSession::answer(const QByteArray& text) {
    // Written straight to the socket, also while the logoff shuts the
    // sender. A failed write is dropped: the socket's events report the
    // lost connection.
    sock_.SendData(ConverteToSend(text));
}

void FeedSession::dispatch(const QByteArray& s) {
    if (s.isEmpty()) return;
    const char k = s[0];
    switch (k) {
    case '$':
        records_.ProcessTrade(QByteArrayView(s).sliced(1));
        return;
    case '}':
        serverTime(s);
        return;
    case '{':
        if (!lastChunkOverloaded_) records_.ProcessComplete(QByteArrayView(s).sliced(1));
        return;
    case ']':
        panel_.setClients(rest(s, 1));
        panel_.repaintNow();
        return;
    default:
        break;
    }
    if (k == '#') {
        if (s.size() > 2 && s[1] == 'D') {
            records_.ProcessCompleteReq(QByteArrayView(s).sliced(2));
            panel_.setMessageLine(rest(s, 2));
            panel_.repaintNow();
            return;
        }
        if (s.size() > 2 && s[1] == 'E') {
            panel_.setMessageLine("Symbol " + rest(s, 2) + " does not exist");
            return;
        }
        // Every control message: a loss from now on arms the reconnect
        // timer, and no timed logon runs while the server talks.
        lossArmsReconnect_ = true;
        reconnectTimer_.stop();
        if (state_ == FeedState::Connecting || state_ == FeedState::Connected)
            setState(FeedState::Dialogue);
        if (s.size() > 2 && s[1] == 'B') return;
        if (const auto reply = LogonAnswer(s, panel_.userName(), panel_.password())) {
            answer(*reply);
            if (s == "#TIPO?" && timerStartedLogon_) {
                timerStartedLogon_ = false;
                received_ = 3;
                resubscribeAll();
            }
            return;
        }
        if (s == "#L") {
            logonAccepted();
            return;
        }
        if (s == "#O") {
            refused_ = true;
            setState(FeedState::Refused);
            panel_.setLogonCaption("Logon");
            panel_.setStatusLine("Invalid User Name or Password");
            return;
        }
        if (s == "#N") {
            panel_.setStatusLine("Server is disconnecting");
            reconnectTimer_.start(1);
            lossArmsReconnect_ = false;
            setState(FeedState::Lost);
            panel_.setLogonCaption("Logon");
        }
    }
    note(s);
}

void FeedSession::note(const QByteArray& s) {
    if (s[0] != '@') {
        panel_.setMessageLine(s);
        return;
    }
    if (s.size() <= 2) return;
    const QByteArray text = rest(s, s[1] == '@' ? 2 : 1);
    panel_.serverNote(text);
    if (s[1] == '@')
        panel_.showNote(text); // waits until the user closes it
    else
        panel_.setStatusLine(text);
}

void FeedSession::serverTime(const QByteArray& s) {
    const QByteArray r = rest(s, 1);
    panel_.setLastMessage(r);
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
    handOff_.vQuvantixServerDateTime = *date + TimeSerial(*hour, *minute, 0);
    handOff_.vType = KindTime;
    handOff_.setData(r);
    panel_.setCaption("QXD Client - " + r);
    panel_.repaintNow();
}

void FeedSession::logonAccepted() {
    if (!loggedOn()) {
        answer("#T");
        setState(FeedState::LoggedOn);
        handOff_.vType = KindLogon;
        handOff_.setData("RQS " + LocalClockHMS());
    }
    setState(FeedState::LoggedOn);
    panel_.setLogonCaption("Logoff");
    refused_ = false;
}

// ---------------------------------------------------------------------------
// Subscription commands

bool FeedSession::loggedOnGuard() {
    if (sock_.State() == SocketComponent::Closed || !loggedOn()) {
        panel_.setStatusLine("Not yet logged on");
        return false;
    }
    return true;
}

SocketFailure FeedSession::addSymbol(QByteArrayView s) {
    if (!loggedOnGuard()) return {};
    const QByteArray trimmed = TrueTrim(s);
    if (SocketFailure f = sender_.SendToServer("#A" + trimmed)) return f;
    if (symbolIndex_.contains(trimmed)) return {};
    const QByteArray entry = fixedEntry(s);
    symbolIndex_.insert(TrueTrim(entry), qsizetype(symbols_.size()));
    symbols_.push_back(entry);
    return {};
}

SocketFailure FeedSession::requestSymbol(QByteArrayView s) {
    if (!loggedOnGuard()) return {};
    return sender_.SendToServer("#C" + TrueTrim(s));
}

void FeedSession::logOff() {
    if (loggedOn()) logonButton();
}

void FeedSession::resubscribeAll() {
    // Copies: a call may change the list.
    const std::vector<QByteArray> list = symbols_;
    for (const QByteArray& e : list) addSymbol(TrueTrim(e));
}

} // namespace qxd
