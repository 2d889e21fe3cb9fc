// The real-time feed connection: logon and logoff, reconnection through
// Timer1, the receive loop and the dispatcher of server messages, and the
// subscription commands. Its state lives here; the window (QXDClient) owns
// this object together with the socket, the sender, the records and the
// hand-off it works on.
#pragma once

#include "feed/busy_poll.h"
#include "wire/frame.h"
#include "wire/socket.h"

#include <QByteArray>
#include <QHash>
#include <QObject>

#include <cstdint>
#include <functional>
#include <vector>

namespace qxd {

class QXDClient;

// Width of an entry of the symbol list.
constexpr qsizetype SymbolEntryWidth = 21;

class FeedConnection : public QObject {
    Q_OBJECT
public:
    explicit FeedConnection(QXDClient& client);

    // Connection state.
    std::int16_t LoggedOn = 0;
    std::int16_t LogonRefused = 0;
    bool ReconnectOnClose = false;
    std::int16_t Reconnecting = 0;
    std::int32_t ReceivedCount = 0;
    std::int16_t Overloaded = 0;
    std::int16_t Working = 0;

    // Counters for the window's owner and benchmarks: the bytes read, the
    // largest chunk read, chunks that set Overloaded, chunks dropped whole.
    qint64 bytesRead = 0;
    qint64 maxChunk = 0;
    std::int64_t overloadedChunks = 0;
    std::int64_t droppedChunks = 0;

    // The Logon/Logoff button.
    void Command1_Click();
    // Socket events.
    void sock_Connect();
    void sock_Close();
    void sock_Error(int number, const QString& description);
    void sock_DataArrival();
    // Tick of the reconnect timer.
    void Timer1_Timer();

    // Handles one message of the real-time connection.
    void ProcessData(const QByteArray& s);

    // Subscription commands. A failure of the send reaches the caller; "not
    // logged on" is only shown in the window.
    SocketFailure AddSymbol(QByteArrayView s);
    SocketFailure RequestSymbol(QByteArrayView s);
    void LogOff();
    void ReDoSymbols();

    // Called once, right after the next read of the socket (which then
    // holds nothing more): the moment furthest from the next bytes.
    std::function<void()> afterRead;

    // The receive buffer.
    const FrameExtractor& extractor() const { return extractor_; }
    // Whether the feed is fast enough that the thread polls rather than sleeps.
    const BusyPoll& busyPoll() const { return busyPoll_; }
    BusyPoll& busyPoll() { return busyPoll_; } // tests replace its clocks

    // The symbol list: entries of exactly SymbolEntryWidth bytes.
    const std::vector<QByteArray>& SymbolList() const { return symbols_; }

    // The rounds after which the stream is acknowledged.
    static constexpr int AckEvery = 500;
    // Chunk sizes above which complete quotes are skipped / the chunk is dropped.
    static constexpr qsizetype OverloadChunk = 2000;
    static constexpr qsizetype DropChunk = 5000;
    // Turns of the event loop that let the sign-off leave before the close.
    static constexpr int LogoffYields = 1000;

private:
    bool loggedOnGuard();
    void answer(const QByteArray& text);
    void serverTime(const QByteArray& s);
    void logonAccepted();
    void note(const QByteArray& s);
    void armReconnect();
    void closeLoop();
    // One turn of the event loop; false when this object went away in it.
    bool yield();

    QXDClient& c_;
    FrameExtractor extractor_;
    BusyPoll busyPoll_;
    std::vector<QByteArray> symbols_;
    QHash<QByteArray, qsizetype> symbolIndex_; // trimmed entry -> position
};

} // namespace qxd
