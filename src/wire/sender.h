// Sending on the real-time connection: one frame per message, shut while the
// user's logoff is in progress.
#pragma once

#include "wire/socket.h"

#include <QByteArrayView>
#include <cstdint>

namespace qxd {

class FeedSender {
public:
    explicit FeedSender(SocketComponent& sock)
        : sock_(sock) {}

    // Raised by the logoff action, lowered by the logon action; nothing is
    // sent while it is raised.
    bool shut = false;
    // Raised while a frame is being written; both receive loops read nothing then.
    bool writing = false;

    // Frames `s` and writes it with one send. Returns the socket's failure
    // (the caller decides what it means); a payload longer than a frame can
    // carry is refused and nothing is sent. `writing` is lowered on every
    // path.
    SocketFailure SendToServer(QByteArrayView s);

private:
    SocketComponent& sock_;
};

// The refusal of a payload that does not fit a frame.
SocketFailure TooLongFailure(qsizetype size);

} // namespace qxd
