#include "app/time_slice.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace qxd {

namespace {

// The kernel's struct sched_attr (its header clashes with <sched.h>, which Qt
// includes). `size` tells the kernel which fields a caller knows.
struct sched_attr {
    std::uint32_t size;
    std::uint32_t sched_policy;
    std::uint64_t sched_flags;
    std::int32_t sched_nice;
    std::uint32_t sched_priority;
    std::uint64_t sched_runtime;
    std::uint64_t sched_deadline;
    std::uint64_t sched_period;
    std::uint32_t sched_util_min;
    std::uint32_t sched_util_max;
};
static_assert(sizeof(sched_attr) == 56);

bool getAttr(sched_attr& a) {
    std::memset(&a, 0, sizeof a);
    return ::syscall(SYS_sched_getattr, 0, &a, unsigned(sizeof a), 0u) == 0;
}

bool fair(const sched_attr& a) {
    return a.sched_policy == SCHED_OTHER || a.sched_policy == SCHED_BATCH;
}

} // namespace

int CurrentTimeSlice() {
    sched_attr a;
    if (!getAttr(a) || !fair(a)) return 0;
    // Under the fair scheduler the runtime reads back as the slice in
    // effect; kernels without custom slices leave it 0.
    return int(a.sched_runtime / 1000);
}

SliceResult RequestTimeSlice(int us) {
    SliceResult r;
    sched_attr a;
    if (!getAttr(a)) {
        r.error = QString::fromLocal8Bit(std::strerror(errno));
        return r;
    }
    if (!fair(a)) return r;
    a.size = sizeof a;
    a.sched_runtime = us > 0 ? std::uint64_t(us) * 1000 : 0;
    // Only what was read back is written: the same nice value, and the
    // utilisation clamps stay as they are without their flags.
    if (::syscall(SYS_sched_setattr, 0, &a, 0u) != 0) {
        r.error = QString::fromLocal8Bit(std::strerror(errno));
        return r;
    }
    r.sliceUs = CurrentTimeSlice();
    return r;
}

} // namespace qxd
