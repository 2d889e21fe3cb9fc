// qxd-sim: a feed server and a historic server for demos, tests and
// benchmarks, speaking the servers' side of the protocol.
#pragma once

#include "wire/frame.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>
#include <functional>
#include <vector>

namespace qxd::sim {

// A captured server message to play back, `at` seconds after the first.
struct ReplayMessage {
    double at = 0;
    QByteArray text;
    QByteArray symbol; // quotes only: their symbol
};

struct Options {
    QHostAddress host = QHostAddress::LocalHost;
    quint16 feedPort = 1400;
    quint16 histPort = 11000;
    QHash<QByteArray, QByteArray> users{{"demo", "demo"}}; // user -> password
    QList<QByteArray> unknown{"NONE", "XXXX"};             // symbols that do not exist
    QList<QByteArray> noData;                              // symbols whose downloads get "#B1"
    bool refuseLogons = false;                             // "#O" to every logon
    double rate = 50;                                      // messages a second to each client
    int burst = 0;                                         // extra messages at once, every second
    double completeShare = 0.3; // of the stream, complete quotes; the rest trades
    int timeEvery = 60;         // seconds between time messages
    int noteEvery = 0;          // seconds between notes; 0: none
    int modalNoteEvery = 0;     // seconds between notes in a box ("@@"); 0: none
    QByteArray fault;           // "drop", "garbage" or "stall"
    int faultEvery = 0;         // seconds
    int chunkSize = 16000;      // archive bytes per chunk
    bool storeArchives = false; // archives without compression
    bool verbose = true;        // log to standard error
    bool seqInVolume = false;   // quotes carry their sequence number as the volume
    bool pace = false;          // spread the stream evenly in each millisecond (busy: own thread)
    int paceSlotUs = 50;        // when pacing, the pause between writes
    quint32 seed = 1;
    // A captured session to play back instead of generated quotes, at
    // `replaySpeed` times its pace (0: as fast as the socket takes), only
    // the subscribed symbols' quotes unless `replayAll`.
    std::vector<ReplayMessage> replay;
    double replaySpeed = 1;
    bool replayAll = false;
};

// Reads a capture's feed session (the server on `port`) into `o->replay`:
// quotes, times, notes and counts, less the logon dialogue.
bool LoadReplay(const QString& path, quint16 port, Options* o, QString* error);

// Messages are packed after their first comma, as servers send them.
QByteArray Packed(const QByteArray& message);

// The bytes of a historic transfer: the marker packed, the archive in raw
// "*n,size,bytes" chunks of `chunkSize`, the marker again raw.
QByteArray TransferFrames(const QByteArray& marker, const QByteArray& zip, int chunkSize);

class FeedSim : public QObject {
    Q_OBJECT
public:
    explicit FeedSim(const Options& o, QObject* parent = nullptr);
    ~FeedSim() override;
    bool listen(QString* error);
    quint16 port() const { return server_.serverPort(); }

    // Sends "#N" to every client and closes (shutdown).
    void signOff();
    // The stream's rate, changeable from any thread.
    void setRate(double r) { rate_.store(r); }

    // Counters, for tests and benchmarks.
    std::atomic<qint64> sent{0};
    std::atomic<qint64> acks{0};
    int sessions() const;
    // Called for each message sent to a client, with its sequence number
    // (benchmarks carry it in the volume field).
    std::function<void(qint64 seq)> onSend;

private:
    struct Quote {
        QByteArray symbol;
        double last, open, high, low, prev, vol;
        int ticks;
    };
    struct Session {
        QPointer<QTcpSocket> sock;
        FrameExtractor ex;
        QByteArray user, pass;
        bool loggedOn = false;
        std::vector<Quote> subs;
        std::size_t next = 0;
        double owed = 0; // messages due but not yet sent
        QByteArray out;
        qint64 replayStartNs = 0; // when its replay started (the logon)
        std::size_t replayNext = 0;
    };

    void accept();
    void onRead(Session* s);
    void handle(Session* s, const QByteArray& m);
    void tick();
    void stream(double dt);
    void replayTick();
    void everySecond();
    void send(Session* s, const QByteArray& message);
    void flush(Session* s);
    QByteArray nextRecord(Session* s);
    Quote makeQuote(const QByteArray& symbol);
    QByteArray complete(const Quote& q, bool requested, double vol = -1) const;
    void log(const char* fmt, ...) const;

    Options o_;
    QTcpServer server_;
    std::vector<std::unique_ptr<Session>> sessions_;
    QTimer ticker_, seconds_;
    QElapsedTimer clock_;
    qint64 lastTick_ = 0;
    int second_ = 0;
    int stalledUntil_ = 0;
    qint64 seq_ = 0;
    QRandomGenerator rng_;
    std::atomic<double> rate_;
};

class HistSim : public QObject {
    Q_OBJECT
public:
    explicit HistSim(const Options& o, QObject* parent = nullptr);
    ~HistSim() override;
    bool listen(QString* error);
    quint16 port() const { return server_.serverPort(); }
    int downloads = 0;

private:
    struct Session {
        QPointer<QTcpSocket> sock;
        FrameExtractor ex;
        QByteArray user, pass;
        bool loggedOn = false;
    };
    void handle(Session* s, const QByteArray& m);
    void request(Session* s, const QByteArray& m);
    void send(Session* s, const QByteArray& framed);
    void log(const char* fmt, ...) const;

    Options o_;
    QTcpServer server_;
    std::vector<std::unique_ptr<Session>> sessions_;
    // The last transfer made, by its user and request: a repeated request
    // is answered without making it again.
    QByteArray lastKey_, lastTransfer_;
};

} // namespace qxd::sim
