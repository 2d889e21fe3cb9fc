// Short time slices for the threads that read the feed.
//
// On a machine whose CPUs are all busy (the bus daemon, a host, other
// programs), a thread that wakes for its bytes waits until the running
// thread's slice ends: up to a few milliseconds, which at a fast feed is a
// chunk over DropChunk, dropped whole. Linux (from 6.12) lets a thread ask for
// a shorter slice: it is then picked sooner when it wakes, and preempted
// sooner when it runs long; its share of the CPU stays the same. Threads
// created afterwards inherit the slice, so the program asks at its start,
// before Qt starts its own threads.
#pragma once

#include <QString>

namespace qxd {

// The slice the program asks for, in microseconds: the kernel's shortest.
constexpr int ShortSliceUs = 100;

struct SliceResult {
    // The slice in effect afterwards, in microseconds; 0 where the kernel
    // has no custom slices (before 6.12) or the thread is not under the
    // fair scheduler. The kernel clamps a request to 100 us - 100 ms.
    int sliceUs = 0;
    // Why the kernel refused, if it did.
    QString error;
};

// Asks for a slice of `us` microseconds for the calling thread, keeping its
// policy, nice value and flags. `us` 0 returns to the kernel's own slice.
SliceResult RequestTimeSlice(int us);

// The calling thread's slice in microseconds (its own or the kernel's
// default), 0 where the kernel does not tell.
int CurrentTimeSlice();

} // namespace qxd
