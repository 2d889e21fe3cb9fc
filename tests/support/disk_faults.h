// A full disk for the length of a scope, also for root: the soft limit on
// file size is lowered, so a write past `bytes` fails with EFBIG (the signal
// that would come with it is ignored).
#pragma once

#include <csignal>
#include <sys/resource.h>

namespace qxd {

class DiskFull {
public:
    explicit DiskFull(rlim_t bytes) {
        old_signal_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit r = old_;
        r.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~DiskFull() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_signal_);
    }
    DiskFull(const DiskFull&) = delete;
    DiskFull& operator=(const DiskFull&) = delete;

private:
    rlimit old_{};
    void (*old_signal_)(int) = nullptr;
};

} // namespace qxd
