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
    if (LogoffFlag != 0) return {};
    if (s.size() > MaxPayload) return TooLongFailure(s.size());
    IsSending = 1;
    SocketFailure f = sock_.SendData(ConverteToSend(s));
    IsSending = 0;
    return f;
}

} // namespace qxd
