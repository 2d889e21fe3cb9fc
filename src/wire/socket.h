// The TCP client component under both connections.
//
// Contract: Connect returns at once and the outcome comes later as the
// connected() or error() event; Close closes at once and raises no event;
// SendData writes one text; GetData takes every byte that is waiting, as one
// text, keeping at most `keep` of them: when more are waiting, all of them
// are consumed and the text is cut to `keep` bytes, so a reader that drops
// long chunks never holds one in memory. It reads what is waiting when it is
// called and never chases a sender that keeps writing. An orderly close by the peer raises closed()
// alone; a refusal, a reset or any other failure raises error() with a non-zero number and a
// description. Bytes are 8-bit throughout.
//
// dataArrival() is raised once for waiting bytes. A handler that turns the
// event away without calling GetData leaves the bytes waiting; they come with
// the next GetData. The component raises no further dataArrival() until the
// bytes are read or Rearm() is called, so a handler that turned arrivals away
// calls Rearm() when it is ready to read again.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

#include <limits>

class QSocketNotifier;
class QHostInfo;

namespace qxd {

struct SocketFailure {
    int number = 0; // 0: no failure
    QString description;
    explicit operator bool() const { return number != 0; }
};

class SocketComponent : public QObject {
    Q_OBJECT
public:
    enum State : int {
        Closed = 0,
        Open = 1,
        Resolving = 4,
        Connecting = 6,
        PeerClosing = 8, // the peer closed; waiting for the local Close
        Failed = 9,      // an error was reported; waiting for the local Close
    };

    using QObject::QObject;

    QString RemoteHost;
    qint32 RemotePort = 0;

    virtual int State() const = 0;
    // Starts connecting. A failure known at once (wrong state, no host, a
    // port outside 0..65535, no socket to be had) is returned; every other
    // outcome comes as an event.
    virtual SocketFailure Connect() = 0;
    virtual void Close() = 0;
    virtual SocketFailure SendData(QByteArrayView data) = 0;
    static constexpr qsizetype KeepAll = std::numeric_limits<qsizetype>::max();
    virtual QByteArray GetData(qsizetype keep = KeepAll) = 0;
    // Bytes consumed by the last GetData, kept or not.
    qint64 lastRead() const { return lastRead_; }
    virtual void Rearm() = 0;

signals:
    void connected();
    void dataArrival(qint64 bytesTotal);
    void closed();
    void error(int number, const QString& description);

protected:
    qint64 lastRead_ = 0;
};

// The component over a non-blocking POSIX socket watched by Qt's socket
// notifiers: reading the socket directly is what tells an orderly close (a
// read of 0 bytes) from a reset (ECONNRESET).
class TcpSocket final : public SocketComponent {
    Q_OBJECT
public:
    explicit TcpSocket(QObject* parent = nullptr);
    ~TcpSocket() override;

    int State() const override { return state_; }
    SocketFailure Connect() override;
    void Close() override;
    SocketFailure SendData(QByteArrayView data) override;
    QByteArray GetData(qsizetype keep = KeepAll) override;
    void Rearm() override;

    // Bytes queued for sending that the kernel has not taken yet.
    qsizetype pendingOutput() const { return out_.size(); }

    // Limit of the queue of unsent bytes; a send beyond it fails.
    static constexpr qsizetype MaxPendingOutput = 8 << 20;

private:
    void startConnect(const QString& address);
    void onLookup(const QHostInfo& info);
    void onReadable();
    void onWritable();
    void becomeOpen();
    void fail(int err); // records the error state and raises error() later
    void post(bool peerClosed);
    void dropFd();
    bool flush(int* err);

    int fd_ = -1;
    int state_ = Closed;
    int lookupId_ = -1;
    quint64 generation_ = 0; // events posted before a Close are dropped
    QSocketNotifier* reader_ = nullptr;
    QSocketNotifier* writer_ = nullptr;
    QByteArray out_;
    QByteArray in_; // reused for reads while no caller holds it
    bool sawEof_ = false;
    int pendingError_ = 0;
};

} // namespace qxd
