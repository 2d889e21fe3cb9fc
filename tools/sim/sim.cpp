#include "sim/sim.h"

#include "sim/bars.h"
#include "sim/zip_writer.h"
#include "wire/convert.h"
#include "wire/pack.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace qxd::sim {

QByteArray Packed(const QByteArray& message) {
    return ConverteToSend(Compress(message));
}

namespace {

void vlog(const char* side, const char* fmt, va_list ap) {
    std::fprintf(stderr, "qxd-sim %s: ", side);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
}

// Client messages in the frames of a chunk.
template <class F>
void eachMessage(FrameExtractor& ex, const QByteArray& data, F&& f) {
    qsizetype left = 0;
    QByteArrayView in = data;
    do {
        const QByteArrayView m = ex.extract(in, left);
        in = {};
        if (!m.isEmpty()) f(m.toByteArray());
    } while (left > 0);
}

} // namespace

// ---------------------------------------------------------------------------
// Feed

FeedSim::FeedSim(const Options& o, QObject* parent)
    : QObject(parent)
    , o_(o)
    , server_(this)
    , ticker_(this)
    , seconds_(this)
    , rng_(o.seed)
    , rate_(o.rate) {
    connect(&server_, &QTcpServer::newConnection, this, &FeedSim::accept);
    ticker_.setTimerType(Qt::PreciseTimer);
    // Paced streams, while sending, run their own slots inside each tick and
    // come back to the event loop only to read what clients send.
    ticker_.setInterval(1);
    connect(&ticker_, &QTimer::timeout, this, &FeedSim::tick);
    seconds_.setInterval(1000);
    connect(&seconds_, &QTimer::timeout, this, &FeedSim::everySecond);
}

// The accepted sockets are the server's children and die after the members:
// they must not call back into a half-destroyed simulator.
FeedSim::~FeedSim() {
    for (QTcpSocket* c : server_.findChildren<QTcpSocket*>()) c->disconnect(this);
}

HistSim::~HistSim() {
    for (QTcpSocket* c : server_.findChildren<QTcpSocket*>()) c->disconnect(this);
}

void FeedSim::log(const char* fmt, ...) const {
    if (!o_.verbose) return;
    va_list ap;
    va_start(ap, fmt);
    vlog("feed", fmt, ap);
    va_end(ap);
}

bool FeedSim::listen(QString* error) {
    if (!server_.listen(o_.host, o_.feedPort)) {
        *error = QStringLiteral("feed port %1: %2").arg(o_.feedPort).arg(server_.errorString());
        return false;
    }
    clock_.start();
    ticker_.start();
    seconds_.start();
    return true;
}

int FeedSim::sessions() const {
    return int(sessions_.size());
}

void FeedSim::accept() {
    while (QTcpSocket* sock = server_.nextPendingConnection()) {
        sock->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto s = std::make_unique<Session>();
        s->sock = sock;
        Session* raw = s.get();
        sessions_.push_back(std::move(s));
        connect(sock, &QTcpSocket::readyRead, this, [this, raw] { onRead(raw); });
        connect(sock, &QTcpSocket::disconnected, this, [this, raw, sock] {
            log("client %s left", raw->user.constData());
            std::erase_if(sessions_, [raw](const auto& p) { return p.get() == raw; });
            sock->deleteLater();
            for (auto& other : sessions_)
                if (other->loggedOn) send(other.get(), "]" + QByteArray::number(sessions()));
        });
        log("client connected from %s", qPrintable(sock->peerAddress().toString()));
        send(raw, "#USER?");
        flush(raw);
    }
}

void FeedSim::onRead(Session* s) {
    eachMessage(s->ex, s->sock->readAll(), [&](const QByteArray& m) { handle(s, m); });
    flush(s);
}

FeedSim::Quote FeedSim::makeQuote(const QByteArray& symbol) {
    quint32 h = 2166136261u;
    for (char c : symbol) h = (h ^ quint8(c)) * 16777619u;
    const double p = 5 + (h % 9500) / 100.0;
    return {symbol, p, p, p, p, p * (1 + (int((h >> 8) % 200) - 100) / 10000.0), 0, 0};
}

QByteArray FeedSim::complete(const Quote& q, bool requested, double vol) const {
    char b[256];
    const double spread = std::max(0.01, q.last * 0.0005);
    const int n =
        std::snprintf(b, sizeof b, "%s%s,%.2f,%.2f,%.2f,%.2f,%d,%.0f,%d,%.2f,%d,%.2f,%d,%.2f,%.2f",
                      requested ? "#D" : "{", q.symbol.constData(), q.open, q.high, q.low, q.last,
                      100, vol < 0 ? q.vol : vol, 1000, q.last + spread, 500, q.last - spread, 400,
                      q.last - q.prev, q.prev);
    return QByteArray(b, n);
}

void FeedSim::handle(Session* s, const QByteArray& m) {
    if (m.startsWith('!')) {
        s->user = m.mid(1);
        send(s, "#PASS?");
    } else if (m.startsWith('^')) {
        s->pass = m.mid(1);
        send(s, "#TIPO?");
    } else if (m == "&1") {
        const auto it = o_.users.constFind(s->user);
        if (!o_.refuseLogons && it != o_.users.cend() && *it == s->pass) {
            s->loggedOn = true;
            s->replayStartNs = clock_.nsecsElapsed();
            send(s, "#L");
            log("%s logged on", s->user.constData());
            for (auto& other : sessions_)
                if (other->loggedOn) send(other.get(), "]" + QByteArray::number(sessions()));
            send(s, "}" + QDateTime::currentDateTime().toString("yyyyMMddhhmm").toLatin1());
        } else {
            send(s, "#O");
            log("logon of %s refused", s->user.constData());
        }
    } else if (m == "#T") {
        log("%s confirmed the logon", s->user.constData());
    } else if (m.startsWith("#A") && s->loggedOn) {
        const QByteArray sym = m.mid(2);
        if (o_.unknown.contains(sym)) {
            log("subscription of unknown %s ignored", sym.constData());
            return;
        }
        for (const Quote& q : s->subs)
            if (q.symbol == sym) return;
        s->subs.push_back(makeQuote(sym));
        if (o_.replay.empty()) send(s, complete(s->subs.back(), false));
        log("%s subscribed %s", s->user.constData(), sym.constData());
    } else if (m.startsWith("#C") && s->loggedOn) {
        const QByteArray sym = m.mid(2);
        if (o_.unknown.contains(sym))
            send(s, "#E" + sym);
        else {
            Quote q = makeQuote(sym);
            for (const Quote& sub : s->subs)
                if (sub.symbol == sym) q = sub;
            send(s, complete(q, true));
        }
    } else if (m.startsWith("#R")) {
        ++acks;
    } else if (m == "#N") {
        log("%s signed off", s->user.constData());
    } else {
        log("unexpected message from %s: %s", s->user.constData(), m.left(60).constData());
    }
}

QByteArray FeedSim::nextRecord(Session* s) {
    Quote& q = s->subs[s->next++ % s->subs.size()];
    q.last = std::max(0.01, q.last * (1 + (rng_.generateDouble() - 0.5) * 0.002));
    q.high = std::max(q.high, q.last);
    q.low = std::min(q.low, q.last);
    const int size = 100 * int(1 + rng_.bounded(20));
    q.vol += size;
    q.ticks = q.ticks >= 32000 ? 1 : q.ticks + 1;
    const qint64 seq = ++seq_;
    if (onSend) onSend(seq);
    if (rng_.generateDouble() < o_.completeShare)
        return complete(q, false, o_.seqInVolume ? double(seq) : -1);
    char b[160];
    const int n =
        std::snprintf(b, sizeof b, "$%s,%.2f,%d,%.2f,%.0f,%d", q.symbol.constData(), q.last, size,
                      q.last - q.prev, o_.seqInVolume ? double(seq) : q.vol, q.ticks);
    return QByteArray(b, n);
}

void FeedSim::send(Session* s, const QByteArray& message) {
    s->out += Packed(message);
    ++sent;
}

void FeedSim::flush(Session* s) {
    if (s->out.isEmpty() || !s->sock) return;
    s->sock->write(s->out);
    s->out.clear();
}

void FeedSim::tick() {
    if (!o_.replay.empty()) return replayTick();
    if (second_ < stalledUntil_) {
        lastTick_ = clock_.nsecsElapsed();
        return;
    }
    if (!o_.pace) {
        const qint64 now = clock_.nsecsElapsed();
        stream((now - lastTick_) / 1e9);
        lastTick_ = now;
        return;
    }
    // Paced: every slot (50 us unless set) the messages due leave (sleeping in between) for
    // 5 ms; then the event loop runs once. With nothing to send the thread
    // waits in its event loop instead.
    const bool sending = rate_.load() > 0;
    ticker_.setInterval(sending ? 0 : 1);
    if (!sending) {
        lastTick_ = clock_.nsecsElapsed();
        return;
    }
    const qint64 start = clock_.nsecsElapsed();
    while (clock_.nsecsElapsed() - start < 5'000'000) {
        const qint64 now = clock_.nsecsElapsed();
        stream((now - lastTick_) / 1e9);
        lastTick_ = now;
        const timespec pause{0, std::clamp(o_.paceSlotUs, 1, 1000) * 1000L};
        ::nanosleep(&pause, nullptr);
    }
}

// The captured messages due by now, at the capture's pace from each
// session's logon, to the symbols it subscribed (quotes of others are left
// out unless all are asked for).
void FeedSim::replayTick() {
    const double speed = o_.replaySpeed;
    for (auto& s : sessions_) {
        if (!s->loggedOn || s->replayNext >= o_.replay.size()) continue;
        const double now = double(clock_.nsecsElapsed() - s->replayStartNs) / 1e9 * speed;
        int batch = 0; // as fast as it goes: a few hundred a turn of the event loop
        for (; s->replayNext < o_.replay.size(); ++s->replayNext) {
            const ReplayMessage& m = o_.replay[s->replayNext];
            if (speed > 0 ? m.at > now : batch >= 200) break;
            const bool wanted =
                o_.replayAll || m.symbol.isEmpty() ||
                std::any_of(s->subs.begin(), s->subs.end(),
                            [&](const Quote& q) { return q.symbol == m.symbol; });
            if (wanted) {
                send(s.get(), m.text);
                ++batch;
            }
        }
        flush(s.get());
        if (s->replayNext == o_.replay.size()) log("replay to %s finished", s->user.constData());
    }
}

void FeedSim::stream(double dt) {
    const double rate = rate_.load();
    for (auto& s : sessions_) {
        if (!s->loggedOn || s->subs.empty()) continue;
        // No catch-up storm after a stall: at most a second's worth behind.
        // When pacing (benchmarks) at most 50 ms behind, and a slot sends at
        // most 0.2 ms worth (or two slots' worth for longer slots), so the
        // sender catches up at twice the rate instead of in one burst above
        // the client's chunk limits (at 200,000 quotes/s, 2000 characters
        // are 0.35 ms of stream).
        const double slotMax = std::max(0.0002, 2e-6 * o_.paceSlotUs);
        s->owed = std::min(s->owed + dt * rate, o_.pace ? rate * 0.05 + 1 : rate + 1000);
        double n = o_.pace ? std::min(s->owed, rate * slotMax + 1) : s->owed;
        if (n < 1) continue;
        for (; n >= 1; n -= 1) {
            send(s.get(), nextRecord(s.get()));
            s->owed -= 1;
        }
        flush(s.get());
        if (o_.pace && s->sock) s->sock->flush();
    }
}

void FeedSim::everySecond() {
    ++second_;
    const bool faultNow = o_.faultEvery > 0 && second_ % o_.faultEvery == 0;
    if (faultNow && o_.fault == "stall") {
        stalledUntil_ = second_ + std::max(1, o_.faultEvery / 2);
        log("stalling for %d s", stalledUntil_ - second_);
    }
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        Session* s = sessions_[i].get();
        if (!s->loggedOn) continue;
        if (o_.burst > 0 && !s->subs.empty())
            for (int k = 0; k < o_.burst; ++k) send(s, nextRecord(s));
        if (o_.timeEvery > 0 && second_ % o_.timeEvery == 0)
            send(s, "}" + QDateTime::currentDateTime().toString("yyyyMMddhhmm").toLatin1());
        if (o_.noteEvery > 0 && second_ % o_.noteEvery == 0)
            send(s, "@Simulated market note " + QByteArray::number(second_ / o_.noteEvery));
        if (o_.modalNoteEvery > 0 && second_ % o_.modalNoteEvery == 0)
            send(s, "@@Simulated notice " + QByteArray::number(second_ / o_.modalNoteEvery));
        if (faultNow && o_.fault == "garbage") {
            QByteArray junk(300, 0);
            for (auto& c : junk) c = char(rng_.bounded(256));
            s->out += junk + "`9999999~`2-5~`~";
            log("sent malformed bytes to %s", s->user.constData());
        }
        flush(s);
    }
    if (faultNow && o_.fault == "drop") {
        log("dropping every connection");
        for (auto& s : sessions_)
            if (s->sock) s->sock->abort();
    }
}

void FeedSim::signOff() {
    for (auto& s : sessions_) {
        if (!s->sock) continue;
        send(s.get(), "#N");
        flush(s.get());
        s->sock->flush();
        s->sock->disconnectFromHost();
    }
}

// ---------------------------------------------------------------------------
// Historic

HistSim::HistSim(const Options& o, QObject* parent)
    : QObject(parent)
    , o_(o)
    , server_(this) {
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* sock = server_.nextPendingConnection()) {
            auto s = std::make_unique<Session>();
            s->sock = sock;
            Session* raw = s.get();
            sessions_.push_back(std::move(s));
            connect(sock, &QTcpSocket::readyRead, this, [this, raw] {
                eachMessage(raw->ex, raw->sock->readAll(),
                            [&](const QByteArray& m) { handle(raw, m); });
            });
            connect(sock, &QTcpSocket::disconnected, this, [this, raw, sock] {
                std::erase_if(sessions_, [raw](const auto& p) { return p.get() == raw; });
                sock->deleteLater();
            });
            send(raw, Packed("#USER?"));
        }
    });
}

void HistSim::log(const char* fmt, ...) const {
    if (!o_.verbose) return;
    va_list ap;
    va_start(ap, fmt);
    vlog("hist", fmt, ap);
    va_end(ap);
}

bool HistSim::listen(QString* error) {
    if (!server_.listen(o_.host, o_.histPort)) {
        *error = QStringLiteral("historic port %1: %2").arg(o_.histPort).arg(server_.errorString());
        return false;
    }
    return true;
}

QByteArray TransferFrames(const QByteArray& marker, const QByteArray& zip, int chunkSize) {
    QByteArray out = Packed(marker); // before the transfer: packed
    out.reserve(zip.size() + zip.size() / chunkSize * 24 + 64);
    for (qsizetype at = 0, n = 0; at < zip.size(); at += chunkSize, ++n) {
        const QByteArray part = zip.mid(at, chunkSize);
        out += ConverteToSend("*" + QByteArray::number(n) + "," + QByteArray::number(part.size()) +
                              "," + part);
    }
    return out + ConverteToSend(marker); // inside the transfer: raw
}

void HistSim::send(Session* s, const QByteArray& framed) {
    if (s->sock) s->sock->write(framed);
}

void HistSim::handle(Session* s, const QByteArray& m) {
    if (m.startsWith('!')) {
        s->user = m.mid(1);
        send(s, Packed("#PASS?"));
    } else if (m.startsWith('^')) {
        s->pass = m.mid(1);
        send(s, Packed("#TIPO?"));
    } else if (m == "&1") {
        const auto it = o_.users.constFind(s->user);
        s->loggedOn = it != o_.users.cend() && *it == s->pass;
        send(s, Packed(s->loggedOn ? "#L" : "#O"));
    } else if (m.startsWith("#F") && s->loggedOn) {
        request(s, m);
    } else {
        log("unexpected message: %s", m.left(60).constData());
    }
}

// "#F" symbol ",&I" code ",&D1" YYYYMMDD ",&D2" YYYYMMDD ","
void HistSim::request(Session* s, const QByteArray& m) {
    const QList<QByteArray> f = m.mid(2).split(',');
    const QByteArray sym = f.value(0);
    const QByteArray codeText = f.value(1).mid(2);
    const double code = Val(codeText);
    auto date = [](const QByteArray& field) -> double {
        const QByteArray d = field.mid(3);
        return DateSerial(int(Val(d.left(4))), int(Val(d.mid(4, 2))), int(Val(d.mid(6, 2))))
            .value_or(0);
    };
    const double d1 = date(f.value(2)), d2 = date(f.value(3));
    log("%s asks for %s interval %s", s->user.constData(), sym.constData(), codeText.constData());
    if (o_.unknown.contains(sym) || sym.isEmpty()) {
        send(s, Packed("#E" + sym));
        return;
    }
    const QByteArray key = s->user + '\n' + m;
    if (key != lastKey_) {
        const QByteArray bars = GenerateBars(sym, code, d1, d2);
        lastTransfer_ = bars.isEmpty()
                            ? QByteArray()
                            : TransferFrames("#B" + sym + "," + codeText,
                                             MakeZip({{SeriesEntryName(s->user, sym, code), bars}},
                                                     o_.storeArchives),
                                             o_.chunkSize);
        lastKey_ = key;
    }
    if (lastTransfer_.isEmpty() || o_.noData.contains(sym)) {
        send(s, Packed("#B1"));
        return;
    }
    send(s, lastTransfer_);
    ++downloads;
    log("sent %s in %lld bytes", sym.constData(), (long long)lastTransfer_.size());
}

} // namespace qxd::sim
