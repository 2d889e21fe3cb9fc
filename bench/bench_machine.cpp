// What the machine itself does to a thread that reads a fast feed, without
// the client: the cost of the system call that every turn of the event loop
// makes, and how often a thread is held up for more than 300 us (at 200,000
// quotes/s about 2000 characters of stream), per 10 s, as the feed figures
// count them:
//
//   machine.ppoll_ns             a ppoll() with a zero timeout on two
//                                descriptors (one turn of the event loop)
//   machine.stalls_spinning      a thread that reads the clock in a loop,
//                                beside one that works 20 us of every 100 us
//                                (as a sender does): gaps over 300 us
//   machine.stalls_sleeping      a thread that sleeps 50 us at a time beside
//                                the same worker: wake-ups over 300 us late
//   machine.stall_max_us         the longest of either
//
// On a virtual machine these are the hypervisor's and the kernel's doing;
// where the stall counts are high, so are the feed's chunks over 2000,
// whatever reads them.
//
//   bench_machine [--quick]
#include "common.h"

#include <atomic>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

double nowUs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

double ppollNs() {
    pollfd fds[2];
    for (pollfd& p : fds) p = {::eventfd(0, EFD_CLOEXEC), POLLIN, 0};
    const timespec zero{0, 0};
    constexpr int N = 200000;
    const double start = nowUs();
    for (int i = 0; i < N; ++i) ::ppoll(fds, 2, &zero, nullptr);
    const double ns = (nowUs() - start) * 1000 / N;
    for (pollfd& p : fds) ::close(p.fd);
    return ns;
}

struct Stalls {
    int count = 0;
    double maxUs = 0;
    void add(double us) {
        if (us <= 300) return;
        ++count;
        maxUs = std::max(maxUs, us);
    }
};

// Runs `probe` for `seconds` beside the worker; the stalls it saw.
Stalls besideWorker(bool sleeping, double seconds) {
    const double end = nowUs() + seconds * 1e6;
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        const timespec rest{0, 80'000};
        while (!stop.load(std::memory_order_relaxed)) {
            const double t = nowUs();
            while (nowUs() - t < 20) {
            }
            ::nanosleep(&rest, nullptr);
        }
    });
    Stalls s;
    if (sleeping) {
        const timespec nap{0, 50'000};
        for (double t = nowUs(); t < end; t = nowUs()) {
            ::nanosleep(&nap, nullptr);
            s.add(nowUs() - t - 50);
        }
    } else {
        for (double last = nowUs(), t = last; t < end; last = t, t = nowUs()) s.add(t - last);
    }
    stop = true;
    worker.join();
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = bench::quick(argc, argv) ? 1 : 10;
    bench::figure("machine.ppoll_ns", ppollNs(), "ns");
    const Stalls spinning = besideWorker(false, seconds);
    const Stalls sleeping = besideWorker(true, seconds);
    const double per10s = 10 / seconds;
    bench::figure("machine.stalls_spinning", spinning.count * per10s, "per 10 s");
    bench::figure("machine.stalls_sleeping", sleeping.count * per10s, "per 10 s");
    bench::figure("machine.stall_max_us", std::max(spinning.maxUs, sleeping.maxUs), "us");
    return 0;
}
