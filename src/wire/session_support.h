// What a protocol session is given besides its transport: a timer to arm
// and the yield. Sessions are plain classes fed with events; the program
// backs these with a QTimer and one turn of Qt's event loop, tests with
// scripted stand-ins.
#pragma once

#include "wire/socket.h"

#include <QByteArray>

#include <functional>
#include <memory>
#include <optional>

namespace qxd {

// A repeating timer. Its ticks come back to the session as its tick event.
class SessionTimer {
public:
    // Runs it with this interval from now.
    virtual void start(int ms) = 0;
    virtual void stop() = 0;
    // The interval of the next ticks; a running timer keeps running.
    virtual void setInterval(int ms) = 0;
    virtual bool isActive() const = 0;

protected:
    ~SessionTimer() = default;
};

// The yield: one turn of the event loop, in which socket events, timer
// ticks, button clicks and host calls may run and re-enter the session.
using Yield = std::function<void()>;

// Tells a session that yields whether it still exists afterwards: the turn
// may have destroyed it (its owner went away).
class Liveness {
public:
    Liveness() = default;
    Liveness(const Liveness&) = delete;
    Liveness& operator=(const Liveness&) = delete;
    ~Liveness() { *alive_ = false; }

    // Runs `yield` and says whether the owner of this object survived it.
    bool yieldSurvived(const Yield& yield) const {
        const std::shared_ptr<bool> alive = alive_;
        if (yield) yield();
        return *alive;
    }

    // Reads true for as long as the owner exists.
    std::shared_ptr<const bool> token() const { return alive_; }

private:
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// What both sessions read from and show on the window: the credentials a
// logon answers with, the status and message lines, the last message, a
// server note (a modal box: it returns once the user closed it) and a
// redraw now. Each session adds its own part.
class SessionPanel {
public:
    virtual QByteArray userName() const = 0;
    virtual QByteArray password() const = 0;
    virtual void setStatusLine(const QByteArray& text) = 0;
    virtual void setMessageLine(const QByteArray& text) = 0;
    virtual void setLastMessage(const QByteArray& text) = 0;
    virtual void showNote(const QByteArray& text) = 0;
    virtual void repaintNow() = 0;
    // A server note ("@" and "@@"), before it is shown.
    virtual void serverNote(const QByteArray&) {}

protected:
    ~SessionPanel() = default;
};

// Starts connecting `sock`. A start that fails at once is retried the
// client's way: the socket is closed thoroughly (a close, then 100 closes
// each followed by a yield), started once more, two yields later the status
// line shows what that second start said (empty when it started) and is
// redrawn, and one more yield follows. `failure` is the failure of the
// start that counts.
struct ConnectOutcome {
    SocketFailure failure;
    bool retried = false;
    bool survived = true; // false: the owner went away in a yield
};
ConnectOutcome ConnectWithRetry(SocketComponent& sock, const Liveness& liveness, const Yield& yield,
                                SessionPanel& panel);

// The answer to one of the servers' logon prompts ("#USER?", "#PASS?",
// "#TIPO?"), none for any other message. Both servers lead the same
// dialogue; the client always says it is of kind 1.
std::optional<QByteArray> LogonAnswer(const QByteArray& prompt, const QByteArray& userName,
                                      const QByteArray& password);

} // namespace qxd
