#include "wire/session_support.h"

#include "wire/frame.h"

namespace qxd {

ConnectOutcome ConnectWithRetry(SocketComponent& sock, const Liveness& liveness, const Yield& yield,
                                SessionPanel& panel) {
    ConnectOutcome out;
    out.failure = sock.Connect();
    if (!out.failure) return out; // the connected or error event follows
    out.retried = true;
    sock.Close();
    for (int i = 0; i < 100; ++i) {
        sock.Close();
        if (!liveness.yieldSurvived(yield)) return {out.failure, true, false};
    }
    out.failure = sock.Connect();
    if (!liveness.yieldSurvived(yield) || !liveness.yieldSurvived(yield))
        return {out.failure, true, false};
    panel.setStatusLine(out.failure.description.toLatin1());
    panel.repaintNow();
    out.survived = liveness.yieldSurvived(yield);
    return out;
}

std::optional<QByteArray> LogonAnswer(const QByteArray& prompt, const QByteArray& userName,
                                      const QByteArray& password) {
    if (prompt == "#USER?") return "!" + TrueTrim(userName);
    if (prompt == "#PASS?") return "^" + TrueTrim(password);
    if (prompt == "#TIPO?") return QByteArray("&1");
    return std::nullopt;
}

} // namespace qxd
