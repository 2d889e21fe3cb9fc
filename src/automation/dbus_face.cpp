#include "automation/dbus_face.h"

#include "wire/convert.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
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
    qDBusRegisterMetaType<PropertyChanges>();
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
    PropertyChanges p;
    p.kind = kind;
    if (kind == KindTime) {
        p.serverTime = cls.QuvantixServerDateTime;
    } else {
        p.simbolo = BytesToBus(cls.Simbolo);
        const float quote[] = {cls.Ask,   cls.AskS,     cls.Bid,   cls.BidS, cls.Change,
                               cls.High,  cls.Last,     cls.LastS, cls.Low,  cls.OInt,
                               cls.OpenV, cls.Previous, cls.TimeV, cls.Vol};
        for (int i = 0; i < 14; ++i) p.quote[i] = double(quote[i]);
        p.flag = cls.Flag;
        p.ticks = cls.nTicks;
    }
    QDBusMessage sig =
        QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    sig << QString::fromLatin1(ClassInterface) << QVariant::fromValue(p) << QStringList();
    face_.bus().send(sig);
}

QDBusArgument& operator<<(QDBusArgument& a, const PropertyChanges& p) {
    static const QString quoteKeys[] = {
        QStringLiteral("Ask"),   QStringLiteral("AskS"),   QStringLiteral("Bid"),
        QStringLiteral("BidS"),  QStringLiteral("Change"), QStringLiteral("High"),
        QStringLiteral("Last"),  QStringLiteral("LastS"),  QStringLiteral("Low"),
        QStringLiteral("OInt"),  QStringLiteral("OpenV"),  QStringLiteral("Previous"),
        QStringLiteral("TimeV"), QStringLiteral("Vol")};
    static const QString flagKey = QStringLiteral("Flag");
    static const QString simboloKey = QStringLiteral("Simbolo");
    static const QString ticksKey = QStringLiteral("nTicks");
    static const QString timeKey = QStringLiteral("QuvantixServerDateTime");
    auto entry = [&a](const QString& key, const QVariant& value) {
        a.beginMapEntry();
        a << key << QDBusVariant(value);
        a.endMapEntry();
    };
    a.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QDBusVariant>());
    if (p.kind == KindTime) {
        entry(timeKey, p.serverTime);
    } else if (p.kind >= 0) {
        // In the order of the names, as a map of them would list them.
        for (int i = 0; i < 5; ++i) entry(quoteKeys[i], p.quote[i]);   // Ask .. Change
        entry(flagKey, QVariant::fromValue<short>(p.flag));            // Flag
        for (int i = 5; i < 12; ++i) entry(quoteKeys[i], p.quote[i]);  // High .. Previous
        entry(simboloKey, p.simbolo);                                  // Simbolo
        for (int i = 12; i < 14; ++i) entry(quoteKeys[i], p.quote[i]); // TimeV, Vol
        if (p.kind == KindTrade) entry(ticksKey, QVariant::fromValue<short>(p.ticks));
    }
    a.endMap();
    return a;
}

// Hosts read the signal; the program never demarshals it.
const QDBusArgument& operator>>(const QDBusArgument& a, PropertyChanges&) {
    return a;
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
