#include "automation/dbus_face.h"

#include "wire/convert.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QMetaProperty>
#include <QSaveFile>
#include <QStringDecoder>

#include <dbus/dbus.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace qxd {

// ---------------------------------------------------------------------------
// Signals written byte by byte

struct SignalSender::Queue {
    DBusConnection* connection;
    std::mutex lock;
    std::vector<QByteArray> messages;
    bool woken = false;
    // The bytes in `messages`: written under the lock, read without it.
    std::atomic<qint64> queuedBytes{0};
    // What the library holds unwritten, as last read in the connection's
    // thread, and whether a fresh reading has been asked for.
    std::atomic<qint64> libraryBytes{0};
    std::atomic<bool> reading{false};

    // In the connection's thread.
    void readLibrary() {
        libraryBytes.store(dbus_connection_get_outgoing_size(connection),
                           std::memory_order_relaxed);
    }
    void drain() {
        std::vector<QByteArray> batch;
        {
            std::lock_guard<std::mutex> g(lock);
            batch.swap(messages);
            queuedBytes.store(0, std::memory_order_relaxed);
            woken = false;
        }
        for (const QByteArray& b : batch) {
            DBusError error;
            dbus_error_init(&error);
            DBusMessage* m = dbus_message_demarshal(b.constData(), int(b.size()), &error);
            if (!m) {
                static std::atomic<bool> told{false};
                if (!told.exchange(true))
                    std::fprintf(stderr, "qxdataclient: a signal was refused: %s\n", error.message);
                dbus_error_free(&error);
                continue;
            }
            dbus_connection_send(connection, m, nullptr);
            dbus_message_unref(m);
        }
        readLibrary();
    }
};

SignalSender::SignalSender(const QDBusConnection& bus)
    : queue_(std::make_shared<Queue>())
    // The bus's own interface object is a child of the connection's private
    // object, so it lives in the connection's thread and goes with it.
    , busThreadObject_(bus.isConnected() ? bus.interface() : nullptr) {
    queue_->connection = static_cast<DBusConnection*>(bus.internalPointer());
}

void SignalSender::send(QByteArrayView path, QByteArrayView interface, QByteArrayView member,
                        QByteArrayView bodySignature, const QByteArray& body) {
    if (!queue_->connection || !busThreadObject_) return;
    if (++serial_ == 0) serial_ = 0x40000000;
    QByteArray message = SignalMessage(path, interface, member, bodySignature, body, serial_);
    bool wake;
    {
        std::lock_guard<std::mutex> g(queue_->lock);
        queue_->queuedBytes.fetch_add(message.size(), std::memory_order_relaxed);
        queue_->messages.push_back(std::move(message));
        wake = !std::exchange(queue_->woken, true);
    }
    if (wake)
        QMetaObject::invokeMethod(
            busThreadObject_, [q = queue_] { q->drain(); }, Qt::QueuedConnection);
}

bool SignalSender::admitQuote() {
    if (!queue_->connection || !busThreadObject_) return true; // nothing is sent anyway
    const qint64 waiting = queue_->queuedBytes.load(std::memory_order_relaxed) +
                           queue_->libraryBytes.load(std::memory_order_relaxed);
    if (!dropping_ && waiting <= HighBytes) return true;
    if (dropping_ && waiting <= LowBytes) {
        dropping_ = false;
        if (notice)
            notice(QStringLiteral("The session bus takes signals again; %1 quotes for the hosts "
                                  "were dropped meanwhile")
                       .arg(dropped_));
        return true;
    }
    if (!dropping_) {
        dropping_ = true;
        dropped_ = 0;
        if (notice)
            notice(QStringLiteral("The session bus is not taking signals (%1 MB waiting): quotes "
                                  "for the hosts are dropped until it does")
                       .arg(waiting >> 20));
    }
    ++dropped_;
    // While quotes are dropped nothing is drained, so the library's backlog
    // is read afresh in its thread: one reading in flight at a time.
    if (!queue_->reading.exchange(true))
        QMetaObject::invokeMethod(
            busThreadObject_,
            [q = queue_] {
                q->readLibrary();
                q->reading.store(false);
            },
            Qt::QueuedConnection);
    return false;
}

// ---------------------------------------------------------------------------
// Factory

DBusFace::DBusFace(const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
    , bus_(bus)
    , sender_(bus)
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
    if (liveInstances() >= MaxInstances) {
        if (calledFromDBus())
            sendErrorReply(QDBusError::LimitsExceeded,
                           QStringLiteral("At most %1 objects at a time").arg(MaxInstances));
        return {};
    }
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
    , face_(face)
    , pathBytes_(p.toLatin1()) {
    auto* properties = new ClsAdaptor(this);
    new EventsAdaptor(this);
    new InstanceAdaptor(this);
    new PropertiesAdaptor(this, properties);
    connect(&cls, &QXDClientCLS::propertiesSet, this, &DBusInstance::propertiesSet);
    connect(&cls, &QXDClientCLS::FeederReady, this, [this] {
        if (quoteAdmitted_) emitEvent("FeederReady");
    });
    connect(&cls, &QXDClientCLS::RequestAllSimbols, this,
            [this] { emitEvent("RequestAllSimbols"); });
    connect(&cls, &QXDClientCLS::NewTime, this, [this](double t) {
        if (!quoteAdmitted_) return;
        BusWriter w;
        w.f64(t);
        emitEvent("NewTime", "d", w.bytes);
    });
    connect(&cls, &QXDClientCLS::EndDownload, this, [this](const QByteArray& s, float ty) {
        BusWriter w;
        w.string(BusUtf8(s));
        w.f64(double(ty));
        emitEvent("EndDownload", "sd", w.bytes);
    });
}

DBusInstance::~DBusInstance() = default;

void DBusInstance::reply(const QString& error) {
    if (!error.isEmpty() && calledFromDBus()) sendErrorReply(QDBusError::Failed, error);
}

void DBusInstance::replyError(QDBusError::ErrorType type, const QString& text) {
    if (calledFromDBus()) sendErrorReply(type, text);
}

void DBusInstance::release() {
    if (released_) return;
    released_ = true;
    // Answered first: the program may end inside the release, at once.
    if (calledFromDBus()) {
        setDelayedReply(true);
        face_.bus().send(message().createReply());
    }
    // The object leaves the bus whatever its count; the count only decides
    // whether the program ends.
    face_.forget(this);
    cls.Release();
    deleteLater();
}

void DBusInstance::emitEvent(const char* member, QByteArrayView signature, const QByteArray& body) {
    face_.signalSender().send(pathBytes_, "QXDataClient.__QXDClientCLS", member, signature, body);
}

void DBusInstance::propertiesSet(int kind) {
    quoteAdmitted_ = face_.signalSender().admitQuote();
    if (!quoteAdmitted_) return;
    face_.signalSender().send(pathBytes_, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                              "sa{sv}as", PropertiesChangedBody(ClassInterface, kind, cls));
}

int PropertiesAdaptor::find(const QString& interface, const QString& name) {
    const QMetaObject* mo = properties_->metaObject();
    const int index = mo->indexOfProperty(name.toUtf8().constData());
    if ((!interface.isEmpty() && interface != QLatin1String(ClassInterface)) ||
        index < mo->propertyOffset()) {
        i_->replyError(QDBusError::UnknownProperty,
                       QStringLiteral("No property %1 in %2").arg(name, interface));
        return -1;
    }
    return index;
}

QDBusVariant PropertiesAdaptor::Get(const QString& interface, const QString& name) {
    const int index = find(interface, name);
    if (index < 0) return {};
    return QDBusVariant(properties_->metaObject()->property(index).read(properties_));
}

QVariantMap PropertiesAdaptor::GetAll(const QString& interface) {
    QVariantMap all;
    if (!interface.isEmpty() && interface != QLatin1String(ClassInterface)) return all;
    const QMetaObject* mo = properties_->metaObject();
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
        all.insert(QString::fromLatin1(mo->property(i).name()), mo->property(i).read(properties_));
    return all;
}

void PropertiesAdaptor::Set(const QString& interface, const QString& name,
                            const QDBusVariant& value) {
    const int index = find(interface, name);
    if (index < 0) return;
    const QMetaProperty p = properties_->metaObject()->property(index);
    if (value.variant().metaType() != p.metaType()) {
        i_->replyError(QDBusError::InvalidArgs,
                       QStringLiteral("%1 takes a value of type %2, not %3")
                           .arg(name, QString::fromLatin1(p.metaType().name()),
                                QString::fromLatin1(value.variant().metaType().name())));
        return;
    }
    p.write(properties_, value.variant());
}

void ClsAdaptor::RequestHistoricData(const QString& S, double Ty, double D1, double D2) {
    i_->reply(c_.RequestHistoricData(BusToBytes(S), ToFloat(Ty), D1, D2));
}

// ---------------------------------------------------------------------------
// Activation file

QString ServiceFilePath() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/dbus-1/services/") + QString::fromLatin1(BusName) +
           QStringLiteral(".service");
}

QByteArray QuoteExec(const QByteArray& path) {
    // The daemon reads the line as a desktop-file value (where a backslash
    // escapes the next byte: \\, \n, \t, \r), then splits it as a shell
    // would (inside double quotes, \, ", $ and ` take a backslash).
    QByteArray out = "\"";
    for (char c : path) {
        switch (c) {
        case '\\':
            out += "\\\\\\\\";
            break;
        case '"':
        case '$':
        case '`':
            out += "\\\\";
            out += c;
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out + '"';
}

bool WriteServiceFile(const QString& exec, QString* error) {
    const QString path = ServiceFilePath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("Cannot create %1").arg(QFileInfo(path).absolutePath());
        return false;
    }
    QSaveFile f(path);
    const QByteArray text = "[D-BUS Service]\nName=" + QByteArray(BusName) +
                            "\nExec=" + QuoteExec(QFile::encodeName(exec)) + "\n";
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
