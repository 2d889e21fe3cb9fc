#include "wire/socket.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qxd {

namespace {

QString describe(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

// Errors the component reports for calls made in the wrong state.
constexpr int ErrWrongState = 40006;
constexpr int ErrInvalidOperation = 40020;

} // namespace

TcpSocket::TcpSocket(QObject* parent)
    : SocketComponent(parent) {}

TcpSocket::~TcpSocket() {
    Close();
}

SocketFailure TcpSocket::Connect() {
    if (state_ != Closed)
        return {ErrInvalidOperation, QStringLiteral("Invalid operation at current state")};
    if (RemotePort < 0 || RemotePort > 65535)
        return {EINVAL, QStringLiteral("Invalid port number %1").arg(RemotePort)};
    const QString host = RemoteHost.trimmed();
    if (host.isEmpty()) return {EINVAL, QStringLiteral("No remote host given")};

    QHostAddress literal;
    if (literal.setAddress(host)) {
        startConnect(host);
        if (state_ == Closed) return {EMFILE, QStringLiteral("No socket available")};
        return {};
    }
    state_ = Resolving;
    const quint64 gen = generation_;
    lookupId_ = QHostInfo::lookupHost(host, this, [this, gen](const QHostInfo& info) {
        if (gen == generation_) onLookup(info);
    });
    return {};
}

void TcpSocket::onLookup(const QHostInfo& info) {
    lookupId_ = -1;
    if (state_ != Resolving) return;
    const auto addrs = info.addresses();
    if (info.error() != QHostInfo::NoError || addrs.isEmpty()) {
        state_ = Failed;
        const QString text = info.errorString();
        emit error(EHOSTUNREACH, text.isEmpty() ? QStringLiteral("Host not found") : text);
        return;
    }
    // Prefer IPv4, as most feed servers listen there.
    QHostAddress pick = addrs.first();
    for (const auto& a : addrs)
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            pick = a;
            break;
        }
    state_ = Closed;
    startConnect(pick.toString());
    if (state_ == Closed) {
        state_ = Failed;
        emit error(EMFILE, QStringLiteral("No socket available"));
    }
}

void TcpSocket::startConnect(const QString& address) {
    QHostAddress addr(address);
    sockaddr_storage ss{};
    socklen_t len = 0;
    int family;
    if (addr.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<quint16>(RemotePort));
        const Q_IPV6ADDR ip = addr.toIPv6Address();
        std::memcpy(&a->sin6_addr, ip.c, 16);
        len = sizeof(sockaddr_in6);
        family = AF_INET6;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<quint16>(RemotePort));
        a->sin_addr.s_addr = htonl(addr.toIPv4Address());
        len = sizeof(sockaddr_in);
        family = AF_INET;
    }
    fd_ = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return; // state stays Closed: the caller reports it
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    reader_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    reader_->setEnabled(false);
    connect(reader_, &QSocketNotifier::activated, this, &TcpSocket::onReadable);
    writer_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writer_->setEnabled(false);
    connect(writer_, &QSocketNotifier::activated, this, &TcpSocket::onWritable);

    const int rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&ss), len);
    if (rc == 0) {
        // Connected at once (loopback can do that): report it from the event
        // loop, as any other outcome.
        state_ = Connecting;
        writer_->setEnabled(true);
        return;
    }
    if (errno == EINPROGRESS) {
        state_ = Connecting;
        writer_->setEnabled(true);
        return;
    }
    fail(errno);
}

void TcpSocket::becomeOpen() {
    state_ = Open;
    writer_->setEnabled(!out_.isEmpty());
    reader_->setEnabled(true);
    emit connected();
}

void TcpSocket::onWritable() {
    if (state_ == Connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) {
            fail(err);
            return;
        }
        becomeOpen();
        return;
    }
    int err = 0;
    if (!flush(&err)) {
        writer_->setEnabled(false);
        fail(err);
        return;
    }
    if (out_.isEmpty()) writer_->setEnabled(false);
}

bool TcpSocket::flush(int* err) {
    qsizetype done = 0;
    while (done < out_.size()) {
        const ssize_t n = ::send(fd_, out_.constData() + done, out_.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        *err = n < 0 ? errno : EPIPE;
        out_.remove(0, done);
        return false;
    }
    out_.remove(0, done);
    return true;
}

SocketFailure TcpSocket::SendData(QByteArrayView data) {
    if (state_ != Open)
        return {ErrWrongState,
                QStringLiteral(
                    "Wrong protocol or connection state for the requested transaction or request")};
    if (out_.size() + data.size() > MaxPendingOutput)
        return {ENOBUFS, QStringLiteral("The peer does not take the data: %1 bytes wait unsent")
                             .arg(out_.size())};
    out_.append(data.data(), data.size());
    int err = 0;
    if (!flush(&err)) {
        out_.clear();
        // The read side reports the loss of the connection as an event.
        return {err, describe(err)};
    }
    if (!out_.isEmpty()) writer_->setEnabled(true);
    return {};
}

void TcpSocket::onReadable() {
    if (state_ != Open) return;
    int waiting = 0;
    if (::ioctl(fd_, FIONREAD, &waiting) != 0) waiting = 0;
    if (waiting > 0) {
        // One event per batch: the notifier comes back with GetData or Rearm.
        reader_->setEnabled(false);
        emit dataArrival(waiting);
        return;
    }
    char probe;
    const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK);
    if (n == 0) {
        state_ = PeerClosing;
        reader_->setEnabled(false);
        writer_->setEnabled(false);
        emit closed();
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        const int err = errno;
        state_ = Failed;
        reader_->setEnabled(false);
        writer_->setEnabled(false);
        emit error(err, describe(err));
    }
}

QByteArray TcpSocket::GetData(qsizetype keep) {
    lastRead_ = 0;
    if (fd_ < 0 || (state_ != Open && state_ != PeerClosing && state_ != Failed)) return {};
    keep = std::max<qsizetype>(keep, 1);
    // The buffer is reused while no caller still holds the previous text, so
    // the usual chunk costs one system call and no allocation.
    constexpr qsizetype Step = 64 * 1024;
    if (!in_.isDetached()) in_ = QByteArray();
    const qsizetype first = std::min(keep, Step);
    in_.resize(first);
    ssize_t n;
    do n = ::recv(fd_, in_.data(), size_t(first), 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
        in_.resize(0);
        if (n == 0) {
            if (state_ == Open && !sawEof_) {
                sawEof_ = true;
                post(true);
            }
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && state_ == Open) {
            pendingError_ = errno;
            post(false);
        }
    } else {
        qsizetype have = n;
        lastRead_ = n;
        if (n == first) {
            // Full: take what the kernel holds at this moment and no more,
            // keeping up to `keep` bytes and consuming the rest.
            int waiting = 0;
            if (::ioctl(fd_, FIONREAD, &waiting) != 0) waiting = 0;
            qint64 left = waiting;
            while (left > 0) {
                char scratch[16 * 1024];
                const qsizetype room = std::min<qint64>(keep - have, left);
                char* to = scratch;
                qsizetype len = std::min<qint64>(qint64(sizeof scratch), left);
                if (room > 0) {
                    in_.resize(have + room);
                    to = in_.data() + have;
                    len = room;
                }
                const ssize_t r = ::recv(fd_, to, size_t(len), 0);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break; // the next read reports it
                if (room > 0) have += r;
                lastRead_ += r;
                left -= r;
            }
        }
        in_.resize(have);
    }
    if (state_ == Open && !sawEof_ && pendingError_ == 0) reader_->setEnabled(true);
    return in_;
}

void TcpSocket::Rearm() {
    if (state_ == Open && reader_ && !sawEof_ && pendingError_ == 0) reader_->setEnabled(true);
}

// Raises an event from the event loop, not from inside the call that found
// it; a Close in between cancels it. Raises closed() or the pending error.
void TcpSocket::post(bool peerClosed) {
    const quint64 gen = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, gen, peerClosed] {
            if (gen != generation_) return;
            if (peerClosed) {
                state_ = PeerClosing;
                if (reader_) reader_->setEnabled(false);
                if (writer_) writer_->setEnabled(false);
                emit closed();
            } else {
                const int err = pendingError_;
                state_ = Failed;
                if (reader_) reader_->setEnabled(false);
                if (writer_) writer_->setEnabled(false);
                emit error(err, describe(err));
            }
        },
        Qt::QueuedConnection);
}

void TcpSocket::fail(int err) {
    state_ = Failed;
    if (reader_) reader_->setEnabled(false);
    if (writer_) writer_->setEnabled(false);
    pendingError_ = err;
    post(false);
}

void TcpSocket::dropFd() {
    delete reader_;
    reader_ = nullptr;
    delete writer_;
    writer_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TcpSocket::Close() {
    ++generation_;
    if (lookupId_ >= 0) QHostInfo::abortHostLookup(lookupId_);
    lookupId_ = -1;
    if (fd_ >= 0 && state_ == Open && !out_.isEmpty()) {
        int err = 0;
        flush(&err); // last chance for queued bytes such as a sign-off
    }
    dropFd();
    out_.clear();
    sawEof_ = false;
    pendingError_ = 0;
    state_ = Closed;
}

} // namespace qxd
