#include "app/settings.h"

#include "app/profile.h"
#include "wire/convert.h"

#include <QDir>

namespace qxd {

QString DefaultSettingsPath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/QXDATA.INI");
}

QString LoadSettings(const QString& path, Controls& c) {
    const ProfileText ini(ReadProfileFile(path));
    auto into = [&](const char* section, const char* key, const char* def, QByteArray& box) {
        const QByteArray v = ini.read(section, key, def);
        if (!v.isEmpty()) box = v;
    };
    into("QXDATA", "IP", "192.168.0.1", c.ServerIP);
    into("QXDATA", "PORT", "1400", c.ServerPort);
    into("QXHIST", "IP", "192.168.0.1", c.HistIp);
    into("QXHIST", "PORT", "11000", c.HistPort);
    into("QXDATA", "UserName", "", c.UserName);
    const QByteArray r = ini.read("QXDATA", "Reconnect", "0");
    if (r.isEmpty()) return {};
    const auto v = ToInt16(Val(r));
    if (!v || *v < 0 || *v > 2)
        return QStringLiteral("Invalid property value: Reconnect=%1 in %2 (0, 1 or 2 expected)")
            .arg(QString::fromLatin1(r), path);
    c.TryReconnectV = *v;
    return {};
}

QString SaveSettings(const QString& path, const Controls& c) {
    return WriteProfileFile(path,
                            {
                                {"QXDATA", "IP", c.ServerIP},
                                {"QXDATA", "PORT", c.ServerPort},
                                {"QXHIST", "IP", c.HistIp},
                                {"QXHIST", "PORT", c.HistPort},
                                {"QXDATA", "UserName", c.UserName},
                                {"QXDATA", "Reconnect", FormatZero(std::int64_t(c.TryReconnectV))},
                            });
}

} // namespace qxd
