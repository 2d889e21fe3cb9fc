// The real-time feed session: logon and logoff, reconnection through the
// reconnect timer, the receive loop with its dispatcher of server messages,
// and the subscription commands. A plain class: the app feeds it the
// socket's events, the timer's ticks and the user's and host's commands; it
// acts through the transport, the sender, the reconnect timer, the hand-off
// and the panel it is given, and yields through the function it is given.
//
// Re-entry. The receive loop yields between two messages, and the logoff
// and the connect retry yield too; in a yield any event may run, this
// session's included. Two rules keep that sound:
//  - while the receive loop runs, a further readable event reads nothing
//    (`receiving`); the socket reports the bytes again once the loop ends;
//  - while the sender writes a frame (`FeedSender::writing`), neither this
//    loop nor the historic one reads.
#pragma once

#include "feed/records.h"
#include "handoff/handoff.h"
#include "wire/frame.h"
#include "wire/sender.h"
#include "wire/session_support.h"
#include "wire/socket.h"

#include <QByteArray>
#include <QHash>

#include <cstdint>
#include <vector>

namespace qxd {

// The states of the connection.
enum class FeedState {
    Idle,       // nothing started, or the peer closed before any dialogue
    Connecting, // a logon started the connect
    Connected,  // the socket is up, the server has not spoken yet
    Dialogue,   // the server leads the logon
    LoggedOn,   // the server accepted the logon
    Refused,    // the server refused the user name or password
    Lost,       // an established dialogue ended; the reconnect timer is armed
    LoggedOff,  // the user or host logged off
};

// The window's part of the feed: the boxes a logon reads and what the
// window shows of the connection. The texts are the window's own.
class FeedPanel : public SessionPanel {
public:
    virtual QByteArray serverHost() const = 0;
    virtual QByteArray serverPort() const = 0;
    virtual bool reconnectTicked() const = 0;

    virtual void setLogonCaption(const QByteArray& text) = 0;
    virtual void setCaption(const QByteArray& text) = 0;
    virtual void setClients(const QByteArray& text) = 0;
    virtual void setReceived(std::int32_t count) = 0;
    virtual void setBufferLeft(qsizetype bytes) = 0;
    virtual void setOverloaded(bool overloaded) = 0;
    virtual void focusUserName() = 0;

    // A logon starts: every received counter restarts, the historic one too.
    virtual void logonStarted() = 0;
    // A read of the socket took `bytes`; nothing more is waiting.
    virtual void chunkRead(qint64 bytes) = 0;
    // Reading ended with the connection.
    virtual void readingStopped() = 0;
    virtual void stateChanged(FeedState) {}

protected:
    ~FeedPanel() = default;
};

class FeedSession {
public:
    FeedSession(SocketComponent& sock, FeedSender& sender, HandOff& handOff,
                SessionTimer& reconnectTimer, FeedPanel& panel, Yield yield);

    // Events.
    void logonButton(); // the Logon/Logoff button, also run by the timer and LogOff
    void connected();
    void closedByPeer();
    void failed(int number, const QString& description);
    void readable();
    void reconnectTick();
    // The client ends: nothing more is read, not even the rest of a chunk
    // whose messages are being handled.
    void end();

    // The host's commands. A failure of the send reaches the caller; "not
    // logged on" is only shown in the window.
    SocketFailure addSymbol(QByteArrayView symbol);
    SocketFailure requestSymbol(QByteArrayView symbol);
    void logOff();
    void resubscribeAll();

    // One message of the real-time connection.
    void dispatch(const QByteArray& message);

    FeedState state() const { return state_; }
    bool loggedOn() const { return state_ == FeedState::LoggedOn; }
    bool logonRefused() const { return refused_; }
    bool reconnecting() const { return timerStartedLogon_; }
    std::int32_t received() const { return received_; }
    const FrameExtractor& extractor() const { return extractor_; }
    const QuoteRecords& records() const { return records_; }
    // The symbol list: entries of exactly SymbolEntryWidth bytes.
    const std::vector<QByteArray>& symbols() const { return symbols_; }

    // Counts for status and benchmarks: bytes read, the largest chunk,
    // chunks whose complete quotes were skipped, chunks dropped whole.
    struct Counters {
        qint64 bytesRead = 0;
        qint64 maxChunk = 0;
        std::int64_t skippedChunks = 0;
        std::int64_t droppedChunks = 0;
    };
    const Counters& counters() const { return counters_; }
    void resetCounters() { counters_ = {}; }

    // Width of an entry of the symbol list.
    static constexpr qsizetype SymbolEntryWidth = 21;
    // The rounds after which the stream is acknowledged.
    static constexpr int AckEvery = 500;
    // Chunk sizes above which complete quotes are skipped / the chunk is dropped.
    static constexpr qsizetype OverloadChunk = 2000;
    static constexpr qsizetype DropChunk = 5000;
    // Turns of the event loop that let the sign-off leave before the close.
    static constexpr int LogoffYields = 1000;
    // The reconnect timer's interval between attempts (tests shorten it).
    int reconnectIntervalMs = 30000;

private:
    void setState(FeedState s);
    bool loggedOnGuard();
    void answer(const QByteArray& text);
    void serverTime(const QByteArray& message);
    void logonAccepted();
    void note(const QByteArray& message);
    void lost();
    void closeThoroughly();
    bool yield() { return liveness_.yieldSurvived(yield_); }

    SocketFailure connectWithRetry();

    SocketComponent& sock_;
    FeedSender& sender_;
    HandOff& handOff_;
    SessionTimer& reconnectTimer_;
    FeedPanel& panel_;
    Yield yield_;
    QuoteRecords records_;
    FrameExtractor extractor_;
    Counters counters_;

    FeedState state_ = FeedState::Idle;
    bool refused_ = false;           // the server refused; the timer stops itself
    bool lossArmsReconnect_ = false; // the server has spoken on this connection
    bool timerStartedLogon_ = false; // resubscribe when the server asks the client kind
    bool receiving_ = false;         // the receive loop runs
    bool lastChunkOverloaded_ = false;
    bool ended_ = false;
    std::int32_t received_ = 0; // rounds of the receive loop since the last logon

    std::vector<QByteArray> symbols_;
    QHash<QByteArray, qsizetype> symbolIndex_; // trimmed entry -> position
    Liveness liveness_;                        // last: gone first
};

} // namespace qxd
