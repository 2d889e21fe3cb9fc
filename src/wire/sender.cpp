#include "wire/sender.h"

#include "wire/frame.h"

#include <cerrno>

namespace qxd {

SocketFailure TooLongFailure(qsizetype size) {
    return {EMSGSIZE, QStringLiteral("Message of %1 bytes not sent: a frame carries at most %2")
                          .arg(size)
                          .arg(MaxPayload)};
}

SocketFailure FeedSender::SendToServer(QByteArrayView s) {
    if (shut) return {};
    if (s.size() > MaxPayload) return TooLongFailure(s.size());
    writing = true;
    SocketFailure f = sock_.SendData(ConverteToSend(s));
    writing = false;
    return f;
}

} // namespace qxd
