// Keeps the thread that reads the feed awake while the feed is fast.
//
// Between reads the event loop sleeps in poll(), and a sleeping thread is
// woken late now and then: on a virtual machine a halted CPU can take
// milliseconds to run again. At a fast feed that is more than 2000
// characters of stream, a chunk that costs its complete quotes. While the
// feed brings at least StartCharsPerMs, a zero-interval timer keeps the
// event loop turning instead, at the price of one busy CPU; it stops once
// the feed falls below StopCharsPerMs, or ends.
//
// A busy thread only helps while the machine has a CPU to spare. When the
// other CPUs are busy too (on the quotes' way to the host: a bus daemon, the
// host itself), the scheduler takes the CPU from the thread that has run the
// most, which is the polling one, for milliseconds at a time, and a thread
// that sleeps until its bytes arrive is run first instead. So polling also
// stops when the machine's CPUs were idle less than MinIdlePercent of one
// CPU over a window, and does not start again for CrowdedBackoffMs. Nor does
// it start where the machine, while the thread sleeps, has too little idle
// time for it: beside a bus daemon and a host even a window of polling only
// costs.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <utility>

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

    // Idle time of all CPUs together, in percent of one CPU's time, below
    // which the machine is crowded. Polling beside the feed's sender, the
    // other CPU was idle 40-80 % of each 100 ms window; beside a bus daemon
    // and a D-Bus host on two CPUs, 0 % in every window.
    static constexpr qint64 MinIdlePercent = 20;
    static constexpr qint64 CrowdedBackoffMs = 1000;
    // Whether the machine's CPUs, idle `idleMs` in all over `ms`
    // milliseconds, have no room for a polling thread.
    static bool Crowded(qint64 idleMs, qint64 ms);

    // Whether the machine has room for polling: idle `idleMs` in all over
    // `ms` milliseconds while the thread slept, using `ownCpuMs` of CPU
    // itself. Polling would take the rest of one CPU from the idle time, and
    // what is left must not be crowded. Judged over at least RoomWindowMs
    // (the kernel counts idle time in ticks of 10 ms).
    static constexpr qint64 RoomWindowMs = 100;
    static bool Room(qint64 idleMs, qint64 ownCpuMs, qint64 ms);

    explicit BusyPoll(QObject* parent = nullptr);
    // A read of the feed brought these bytes.
    void arrived(qint64 bytes);
    // The connection ended: sleep again.
    void stop();
    bool polling() const { return timer_.isActive(); }
    // The feed's rate now, in characters a millisecond: over the window
    // under way once it is a few milliseconds long, else over the last one.
    // A burst after a quiet spell shows within milliseconds.
    qint64 recentCharsPerMs() const;
    // Whether polling last ended because the CPUs were crowded.
    bool crowded() const { return crowded_; }

    // The machine's idle time so far in milliseconds, -1 if unknown (tests
    // replace it).
    using Clock = std::function<qint64()>;
    void setIdleClock(Clock c) { idleClock_ = std::move(c); }
    // The CPU time the calling thread used so far in milliseconds, -1 if
    // unknown (tests replace it).
    void setCpuClock(Clock c) { cpuClock_ = std::move(c); }

private:
    void check();
    // Judges the room for polling over the time slept since the last sample.
    void sampleRoom();
    void restartRoomSample();

    QTimer timer_;
    QElapsedTimer window_, sinceCrowded_;
    qint64 bytes_ = 0, idle0_ = -1, lastRate_ = 0;
    bool crowded_ = false;
    Clock idleClock_, cpuClock_;
    // The room sample: its start and what the clocks read then.
    QElapsedTimer roomWindow_;
    qint64 roomIdle0_ = -1, roomCpu0_ = -1;
    bool room_ = true;
};

} // namespace qxd
