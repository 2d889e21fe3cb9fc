#include "automation/dbus_face.h"

#include "wire/convert.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>

namespace qxd {

QString BytesToBus(const QByteArray& b) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = utf8(b);
    if (utf8.hasError()) s = QString::fromLatin1(b);
    s.replace(QChar(0), QChar(0xFFFD));
    return s;
}

QByteArray BusToBytes(const QString& s) {
    return s.toUtf8();
}

// ---------------------------------------------------------------------------
// Factory

DBusFace::DBusFace(const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
    , bus_(bus)
    , watcher_(QString(), bus, QDBusServiceWatcher::WatchForUnregistration) {
    new ClassFactoryAdaptor(this);
    connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, &DBusFace::creatorGone);
}

DBusFace::~DBusFace() {
    for (const auto& i : instances_) delete i.data();
}

bool DBusFace::start(QString* error) {
    if (!bus_.isConnected()) {
        *error = QStringLiteral("No session bus: %1").arg(bus_.lastError().message());
        return false;
    }
    if (!bus_.registerObject(QString::fromLatin1(FactoryPath), this,
                             QDBusConnection::ExportAdaptors)) {
        *error =
            QStringLiteral("Cannot export %1 on the bus").arg(QString::fromLatin1(FactoryPath));
        return false;
    }
    if (!bus_.registerService(QString::fromLatin1(BusName))) {
        *error = QStringLiteral("The bus name %1 is already taken: another qxdataclient is running")
                     .arg(QString::fromLatin1(BusName));
        bus_.unregisterObject(QString::fromLatin1(FactoryPath));
        return false;
    }
    return true;
}

QDBusObjectPath DBusFace::CreateInstance() {
    const QString creator = calledFromDBus() ? message().service() : QString();
    const QString path = QStringLiteral("%1/%2").arg(QString::fromLatin1(FactoryPath)).arg(next_++);
    auto* inst = new DBusInstance(*this, path, creator);
    if (!bus_.registerObject(path, inst, QDBusConnection::ExportAdaptors)) {
        delete inst;
        if (calledFromDBus())
            sendErrorReply(QDBusError::Failed, QStringLiteral("Cannot export %1").arg(path));
        return {};
    }
    instances_.append(inst);
    if (!creator.isEmpty()) watcher_.addWatchedService(creator);
    return QDBusObjectPath(path);
}

int DBusFace::liveInstances() const {
    int n = 0;
    for (const auto& i : instances_) n += !i.isNull();
    return n;
}

void DBusFace::forget(DBusInstance* inst) {
    bus_.unregisterObject(inst->path);
    instances_.removeAll(inst);
    bool creatorLeft = false;
    for (const auto& i : instances_)
        if (i && i->creator == inst->creator) creatorLeft = true;
    if (!creatorLeft && !inst->creator.isEmpty()) watcher_.removeWatchedService(inst->creator);
}

void DBusFace::creatorGone(const QString& name) {
    // Copy: releasing changes the list (and may end the program).
    const QList<QPointer<DBusInstance>> all = instances_;
    for (const auto& i : all)
        if (i && i->creator == name) i->release();
}

// ---------------------------------------------------------------------------
// Instance

DBusInstance::DBusInstance(DBusFace& face, const QString& p, const QString& c)
    : path(p)
    , creator(c)
    , face_(face) {
    new ClsAdaptor(this);
    new EventsAdaptor(this);
    new InstanceAdaptor(this);
    connect(&cls, &QXDClientCLS::propertiesSet, this, &DBusInstance::propertiesSet);
}

DBusInstance::~DBusInstance() = default;

void DBusInstance::reply(const QString& error) {
    if (!error.isEmpty() && calledFromDBus()) sendErrorReply(QDBusError::Failed, error);
}

void DBusInstance::release() {
    if (released_) return;
    // The reference the creator held goes; the object leaves the bus once
    // its count falls below 1.
    cls.Release();
    if (cls.mClassCont < 1) {
        released_ = true;
        face_.forget(this);
        deleteLater();
    }
}

void DBusInstance::propertiesSet(int kind) {
    QVariantMap changed;
    if (kind == KindTime) {
        changed.insert(QStringLiteral("QuvantixServerDateTime"), cls.QuvantixServerDateTime);
    } else {
        changed.insert(QStringLiteral("Simbolo"), BytesToBus(cls.Simbolo));
        const std::pair<const char*, float> quote[] = {
            {"Last", cls.Last},   {"Bid", cls.Bid},           {"Ask", cls.Ask},
            {"LastS", cls.LastS}, {"Change", cls.Change},     {"BidS", cls.BidS},
            {"AskS", cls.AskS},   {"OpenV", cls.OpenV},       {"High", cls.High},
            {"Low", cls.Low},     {"Previous", cls.Previous}, {"OInt", cls.OInt},
            {"Vol", cls.Vol},     {"TimeV", cls.TimeV}};
        for (const auto& [name, value] : quote)
            changed.insert(QString::fromLatin1(name), double(value));
        changed.insert(QStringLiteral("Flag"), QVariant::fromValue<short>(cls.Flag));
        if (kind == KindTrade)
            changed.insert(QStringLiteral("nTicks"), QVariant::fromValue<short>(cls.nTicks));
    }
    QDBusMessage sig =
        QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    sig << QString::fromLatin1(ClassInterface) << changed << QStringList();
    face_.bus().send(sig);
}

void ClsAdaptor::RequestHistoricData(const QString& S, double Ty, double D1, double D2) {
    i_->reply(c_.RequestHistoricData(BusToBytes(S), ToFloat(Ty), D1, D2));
}

EventsAdaptor::EventsAdaptor(DBusInstance* inst)
    : QDBusAbstractAdaptor(inst) {
    QXDClientCLS& c = inst->cls;
    connect(&c, &QXDClientCLS::FeederReady, this, &EventsAdaptor::FeederReady);
    connect(&c, &QXDClientCLS::RequestAllSimbols, this, &EventsAdaptor::RequestAllSimbols);
    connect(&c, &QXDClientCLS::NewTime, this, &EventsAdaptor::NewTime);
    connect(&c, &QXDClientCLS::EndDownload, this,
            [this](const QByteArray& s, float ty) { emit EndDownload(BytesToBus(s), double(ty)); });
}

// ---------------------------------------------------------------------------
// Activation file

QString ServiceFilePath() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/dbus-1/services/") + QString::fromLatin1(BusName) +
           QStringLiteral(".service");
}

bool WriteServiceFile(const QString& exec, QString* error) {
    const QString path = ServiceFilePath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("Cannot create %1").arg(QFileInfo(path).absolutePath());
        return false;
    }
    QSaveFile f(path);
    const QByteArray text =
        "[D-BUS Service]\nName=" + QByteArray(BusName) + "\nExec=" + QFile::encodeName(exec) + "\n";
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size() || !f.commit()) {
        *error = QStringLiteral("Cannot write %1: %2").arg(path, f.errorString());
        return false;
    }
    return true;
}

bool RemoveServiceFile(QString* error) {
    const QString path = ServiceFilePath();
    if (QFile::exists(path) && !QFile::remove(path)) {
        *error = QStringLiteral("Cannot remove %1").arg(path);
        return false;
    }
    return true;
}

} // namespace qxd
