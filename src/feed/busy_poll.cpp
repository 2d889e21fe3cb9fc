#include "feed/busy_poll.h"

#include <algorithm>

namespace qxd {

bool BusyPoll::Next(bool polling, qint64 bytes, qint64 ms) {
    ms = std::max<qint64>(1, ms);
    return bytes >= (polling ? StopCharsPerMs : StartCharsPerMs) * ms;
}

BusyPoll::BusyPoll(QObject* parent)
    : QObject(parent) {
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
    bytes_ = 0;
    window_.start();
}

void BusyPoll::check() {
    const bool polling = timer_.isActive();
    const qint64 ms = window_.elapsed();
    if (ms < (polling ? StopWindowMs : StartWindowMs)) return;
    const bool on = Next(polling, bytes_, ms);
    bytes_ = 0;
    window_.start();
    if (on != polling) on ? timer_.start() : timer_.stop();
}

} // namespace qxd
