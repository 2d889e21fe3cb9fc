#include "app/busy_poll.h"

#include <algorithm>
#include <utility>

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace qxd {

namespace {

// The idle and I/O-wait time of all the machine's CPUs since boot, from the
// first line of /proc/stat ("cpu  user nice system idle iowait ..."), in
// milliseconds; -1 where it cannot be read.
qint64 machineIdleMs() {
    const int fd = ::open("/proc/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return -1;
    buf[n] = 0;
    long long user, nice, system, idle, iowait;
    if (std::sscanf(buf, "cpu %lld %lld %lld %lld %lld", &user, &nice, &system, &idle, &iowait) !=
        5)
        return -1;
    static const long ticksPerS = ::sysconf(_SC_CLK_TCK);
    return ticksPerS > 0 ? (idle + iowait) * 1000 / ticksPerS : -1;
}

// The CPU time of the calling thread, in milliseconds.
qint64 threadCpuMs() {
    timespec ts;
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return -1;
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

bool BusyPoll::Next(bool polling, qint64 bytes, qint64 ms) {
    ms = std::max<qint64>(1, ms);
    return bytes >= (polling ? StopCharsPerMs : StartCharsPerMs) * ms;
}

bool BusyPoll::Crowded(qint64 idleMs, qint64 ms) {
    return idleMs * 100 < MinIdlePercent * std::max<qint64>(1, ms);
}

bool BusyPoll::Room(qint64 idleMs, qint64 ownCpuMs, qint64 ms) {
    ms = std::max<qint64>(1, ms);
    const qint64 taken = ms - std::clamp<qint64>(ownCpuMs, 0, ms);
    return !Crowded(idleMs - taken, ms);
}

BusyPoll::BusyPoll(QObject* parent)
    : QObject(parent)
    , idleClock_(machineIdleMs)
    , cpuClock_(threadCpuMs) {
    timer_.setInterval(0);
    timer_.setObjectName(QStringLiteral("busyPoll"));
    // Each turn of the loop looks at the clock, so polling ends within a
    // window of the feed going quiet.
    connect(&timer_, &QTimer::timeout, this, &BusyPoll::check);
    window_.start();
}

void BusyPoll::arrived(qint64 bytes) {
    bytes_ += bytes;
    check();
}

qint64 BusyPoll::recentCharsPerMs() const {
    const qint64 ms = window_.elapsed();
    return ms >= 2 ? bytes_ / ms : lastRate_;
}

void BusyPoll::stop() {
    timer_.stop();
    crowded_ = false;
    bytes_ = 0;
    lastRate_ = 0;
    window_.start();
    room_ = true;
    restartRoomSample();
}

void BusyPoll::restartRoomSample() {
    roomWindow_.start();
    roomIdle0_ = idleClock_();
    roomCpu0_ = cpuClock_();
}

void BusyPoll::sampleRoom() {
    if (!roomWindow_.isValid()) return restartRoomSample();
    const qint64 ms = roomWindow_.elapsed();
    if (ms < RoomWindowMs) return;
    const qint64 idle = idleClock_(), cpu = cpuClock_();
    // Unknown clocks leave the room to the crowding test while polling.
    room_ = idle < 0 || cpu < 0 || roomIdle0_ < 0 || roomCpu0_ < 0 ||
            Room(idle - roomIdle0_, cpu - roomCpu0_, ms);
    roomWindow_.start();
    roomIdle0_ = idle;
    roomCpu0_ = cpu;
}

void BusyPoll::check() {
    const bool polling = timer_.isActive();
    if (!polling) sampleRoom();
    const qint64 ms = window_.elapsed();
    if (ms < (polling ? StopWindowMs : StartWindowMs)) return;
    bool on = Next(polling, bytes_, ms);
    lastRate_ = bytes_ / std::max<qint64>(1, ms);
    bytes_ = 0;
    window_.start();
    if (polling) {
        const qint64 idle = idleClock_();
        const qint64 idle0 = std::exchange(idle0_, idle);
        if (idle >= 0 && idle0 >= 0 && Crowded(idle - idle0, ms)) {
            on = false;
            crowded_ = true;
            sinceCrowded_.start();
        }
    } else if (on && crowded_ && sinceCrowded_.elapsed() < CrowdedBackoffMs) {
        on = false;
    } else if (on && !room_) {
        on = false;
    }
    if (on == polling) return;
    if (on) {
        crowded_ = false;
        idle0_ = idleClock_();
        timer_.start();
    } else {
        timer_.stop();
        restartRoomSample();
    }
}

} // namespace qxd
