#include "app/tuning.h"

#include <QtGlobal>

#include <cstdio>

namespace qxd {

std::optional<TuningMode> ParseTuningMode(QByteArrayView text) {
    if (text == "auto") return TuningMode::Auto;
    if (text == "off") return TuningMode::Off;
    return std::nullopt;
}

TuningMode TuningModeFromEnvironment() {
    const QByteArray v = qgetenv("QXD_TUNING");
    if (v.isEmpty()) return TuningMode::Auto;
    if (const auto m = ParseTuningMode(v)) return *m;
    std::fprintf(stderr, "qxdataclient: QXD_TUNING=%s is neither auto nor off; auto is used\n",
                 v.constData());
    return TuningMode::Auto;
}

const char* TuningModeName(TuningMode mode) {
    return mode == TuningMode::Auto ? "auto" : "off";
}

QString Tuning::beforeApplication(TuningMode mode) {
    if (mode != TuningMode::Auto) return {};
    // The receive loop turns the event loop once per frame; Qt's own
    // dispatcher does that turn in about half the instructions of the glib
    // one. A QT_NO_GLIB already in the environment is left as it is.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    return {};
}

} // namespace qxd
