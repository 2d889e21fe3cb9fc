#include "feed/busy_poll.h"

#include <algorithm>
#include <utility>

#include <sys/resource.h>

namespace qxd {

namespace {

qint64 threadPreemptions() {
#ifdef RUSAGE_THREAD
    rusage u{};
    if (::getrusage(RUSAGE_THREAD, &u) == 0) return u.ru_nivcsw;
#endif
    return 0;
}

} // namespace

bool BusyPoll::Next(bool polling, qint64 bytes, qint64 ms) {
    ms = std::max<qint64>(1, ms);
    return bytes >= (polling ? StopCharsPerMs : StartCharsPerMs) * ms;
}

bool BusyPoll::Crowded(qint64 preemptions, qint64 ms) {
    return preemptions * 1000 > MaxPreemptionsPerS * std::max<qint64>(1, ms);
}

BusyPoll::BusyPoll(QObject* parent)
    : QObject(parent)
    , preemptions_(threadPreemptions) {
    timer_.setInterval(0);
    // Each turn of the loop looks at the clock, so polling ends within a
    // window of the feed going quiet.
    connect(&timer_, &QTimer::timeout, this, &BusyPoll::check);
    window_.start();
}

void BusyPoll::arrived(qint64 bytes) {
    bytes_ += bytes;
    check();
}

void BusyPoll::stop() {
    timer_.stop();
    crowded_ = false;
    bytes_ = 0;
    window_.start();
}

void BusyPoll::check() {
    const bool polling = timer_.isActive();
    const qint64 ms = window_.elapsed();
    if (ms < (polling ? StopWindowMs : StartWindowMs)) return;
    bool on = Next(polling, bytes_, ms);
    bytes_ = 0;
    window_.start();
    if (polling) {
        const qint64 preempted = preemptions_();
        if (Crowded(preempted - std::exchange(preempted0_, preempted), ms)) {
            on = false;
            crowded_ = true;
            sinceCrowded_.start();
        }
    } else if (on && crowded_ && sinceCrowded_.elapsed() < CrowdedBackoffMs) {
        on = false;
    }
    if (on == polling) return;
    if (on) {
        crowded_ = false;
        preempted0_ = preemptions_();
        timer_.start();
    } else {
        timer_.stop();
    }
}

} // namespace qxd
