// Keeps the thread that reads the feed awake while the feed is fast.
//
// Between reads the event loop sleeps in poll(), and a sleeping thread is
// woken late now and then: on a virtual machine a halted CPU can take
// milliseconds to run again. At a fast feed that is more than 2000
// characters of stream, a chunk that costs its complete quotes. While the
// feed brings at least StartCharsPerMs, a zero-interval timer keeps the
// event loop turning instead, at the price of one busy CPU; it stops once
// the feed falls below StopCharsPerMs, or ends.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace qxd {

class BusyPoll : public QObject {
    Q_OBJECT
public:
    // The rate is judged over short windows while the thread sleeps, so
    // that polling covers a burst from its start, and over long ones while
    // it polls, so that a short lull does not end it.
    static constexpr qint64 StartWindowMs = 10;
    static constexpr qint64 StopWindowMs = 100;
    // Characters a millisecond from which the thread polls: a wake-up 2 ms
    // late then lets a whole overload chunk pile up. Below that, the busy
    // CPU would cost more than it saves: other processes on the quotes' way
    // (a bus daemon, the host) need it. It stops polling below half that,
    // so a rate near the mark does not flip it every window.
    static constexpr qint64 StartCharsPerMs = 1000;
    static constexpr qint64 StopCharsPerMs = 500;

    // Whether to poll over the next window, from whether the thread polled
    // over the last one and the bytes it brought in ms milliseconds.
    static bool Next(bool polling, qint64 bytes, qint64 ms);

    explicit BusyPoll(QObject* parent = nullptr);
    // A read of the feed brought these bytes.
    void arrived(qint64 bytes);
    // The connection ended: sleep again.
    void stop();
    bool polling() const { return timer_.isActive(); }

private:
    void check();

    QTimer timer_;
    QElapsedTimer window_;
    qint64 bytes_ = 0;
};

} // namespace qxd
