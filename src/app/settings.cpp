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
    into("QXDATA", "IP", "192.168.0.1", c.serverHost);
    into("QXDATA", "PORT", "1400", c.serverPort);
    into("QXHIST", "IP", "192.168.0.1", c.historicHost);
    into("QXHIST", "PORT", "11000", c.historicPort);
    into("QXDATA", "UserName", "", c.userName);
    const QByteArray r = ini.read("QXDATA", "Reconnect", "0");
    if (r.isEmpty()) return {};
    const auto v = ToInt16(Val(r));
    if (!v || *v < 0 || *v > 2)
        return QStringLiteral("Invalid property value: Reconnect=%1 in %2 (0, 1 or 2 expected)")
            .arg(QString::fromLatin1(r), path);
    c.reconnect = *v;
    return {};
}

QString SaveSettings(const QString& path, const Controls& c) {
    return WriteProfileFile(path,
                            {
                                {"QXDATA", "IP", c.serverHost},
                                {"QXDATA", "PORT", c.serverPort},
                                {"QXHIST", "IP", c.historicHost},
                                {"QXHIST", "PORT", c.historicPort},
                                {"QXDATA", "UserName", c.userName},
                                {"QXDATA", "Reconnect", FormatZero(std::int64_t(c.reconnect))},
                            });
}

} // namespace qxd
