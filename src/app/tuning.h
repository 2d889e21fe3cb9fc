// The client's latency tuning, in one place with one switch.
//
// A fast feed on a busy machine loses complete quotes when the thread that
// reads it is woken late (a chunk above 2000 characters has them skipped).
// With the tuning on (`auto`, the default) the client:
//  - polls instead of sleeping while the feed brings 1000 characters a
//    millisecond or more, unless the machine has no CPU to spare (busy_poll.h);
//  - paces the window: a refresh waits while it would let more than half a
//    chunk pile up, and while the thread polls, refreshes and repaints wait
//    for the moment right after a read;
//  - uses Qt's own event dispatcher rather than glib's (QT_NO_GLIB), unless
//    the environment already chose.
// With the tuning `off` the client is a plain Qt program: it sleeps between
// reads, refreshes the window on every tick and keeps the platform's
// dispatcher.
//
// The mode comes from `--tuning=auto|off` on the command line, else from the
// environment variable QXD_TUNING, else `auto`. The sessions know nothing of
// it; the feed only reports each read (FeedPanel::chunkRead).
#pragma once

#include "app/busy_poll.h"

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace qxd {

enum class TuningMode { Auto, Off };

// "auto" or "off"; nothing for any other text.
std::optional<TuningMode> ParseTuningMode(QByteArrayView text);
// QXD_TUNING, or auto when it is unset or not a mode (a warning says so).
TuningMode TuningModeFromEnvironment();
const char* TuningModeName(TuningMode mode);

class Tuning {
public:
    explicit Tuning(TuningMode mode)
        : mode_(mode) {}
    TuningMode mode() const { return mode_; }
    bool on() const { return mode_ == TuningMode::Auto; }

    // Steps for the whole process, before the application object exists:
    // the event dispatcher. Returns a warning, or an empty text.
    static QString beforeApplication(TuningMode mode);

    // The feed's reads drive the busy poll.
    void chunkRead(qint64 bytes) {
        if (on()) busyPoll_.arrived(bytes);
    }
    void readingStopped() { busyPoll_.stop(); }
    bool polling() const { return busyPoll_.polling(); }
    qint64 recentCharsPerMs() const { return busyPoll_.recentCharsPerMs(); }
    BusyPoll& busyPoll() { return busyPoll_; } // tests replace its clocks

private:
    TuningMode mode_;
    BusyPoll busyPoll_;
};

} // namespace qxd
