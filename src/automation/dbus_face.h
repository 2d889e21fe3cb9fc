// The automation object on the session bus.
//
// Bus name QXDataClient.QXDClientCLS; the class factory at /QXDClientCLS
// (interface QXDataClient.ClassFactory, CreateInstance() -> o) makes objects
// at /QXDClientCLS/1, /2, ... Each object has the interfaces
// QXDataClient._QXDClientCLS (19 properties, six methods),
// QXDataClient.__QXDClientCLS (the four events as signals) and
// QXDataClient.Instance (Release). Before each FeederReady and NewTime the
// object sends PropertiesChanged with the properties the relay has just set.
// When the connection that created an object goes away, the object is
// released as if it had called Release().
#pragma once

#include "automation/bus_message.h"
#include "automation/qxdclientcls.h"
#include "wire/convert.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QHash>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

namespace qxd {

constexpr char BusName[] = "QXDataClient.QXDClientCLS";
constexpr char FactoryPath[] = "/QXDClientCLS";
constexpr char ClassInterface[] = "QXDataClient._QXDClientCLS";

class DBusInstance;

// Sends signals that were written byte by byte (bus_message.h) on the
// connection's own library handle. The library may only be driven from the
// thread that QtDBus runs the connection in (it toggles that thread's socket
// notifiers), so messages are queued for that thread, the way QtDBus hands
// over its own, and it is woken once for whatever has gathered by the time
// it runs; there the library reads the bytes back as a message, checking
// them as it would any peer's, and queues them in order. Every signal of the
// quote path goes this way, so they keep their order.
//
// A bus that stops taking messages (a stopped or overwhelmed daemon) would
// leave them to pile up in the client without bound. So each quote asks
// first (admitQuote): while more than HighBytes wait to be written, quotes
// for the hosts are dropped whole (their property change and event
// together) until no more than LowBytes wait; `notice` says when that
// starts and ends. Other signals (logons, downloads) always go.
class SignalSender {
public:
    static constexpr qint64 HighBytes = 16 << 20;
    static constexpr qint64 LowBytes = 4 << 20;

    explicit SignalSender(const QDBusConnection& bus);
    // Sends the signal with this body (see SignalMessage).
    void send(QByteArrayView path, QByteArrayView interface, QByteArrayView member,
              QByteArrayView bodySignature, const QByteArray& body);
    // Whether the next quote's signals may be sent.
    bool admitQuote();
    std::function<void(const QString&)> notice;

private:
    struct Queue;
    std::shared_ptr<Queue> queue_;      // shared with the wake-ups in flight
    QPointer<QObject> busThreadObject_; // lives in the connection's thread
    bool dropping_ = false;
    qint64 dropped_ = 0;
    // Serials of our own, far from the ones the library counts up from 1
    // for the messages it writes; bus peers only match serials of calls.
    std::uint32_t serial_ = 0x40000000;
};

class DBusFace : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    explicit DBusFace(const QDBusConnection& bus, QObject* parent = nullptr);
    ~DBusFace() override;

    // Exports the factory and takes the bus name; false (with the reason)
    // when the name is already taken or the bus refuses.
    bool start(QString* error);

    // At most MaxInstances objects live at a time: a host that creates them
    // in a loop gets an error rather than growing the client without bound.
    static constexpr int MaxInstances = 1000;
    QDBusObjectPath CreateInstance();
    const QDBusConnection& bus() const { return bus_; }
    SignalSender& signalSender() { return sender_; }
    int liveInstances() const;

    // Called by an instance that was released.
    void forget(DBusInstance* inst);

private:
    void creatorGone(const QString& name);

    QDBusConnection bus_;
    SignalSender sender_;
    QDBusServiceWatcher watcher_;
    int next_ = 1;
    QList<QPointer<DBusInstance>> instances_;
};

// One object on the bus: a QXDClientCLS and its three interfaces.
class DBusInstance : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    DBusInstance(DBusFace& face, const QString& path, const QString& creator);
    ~DBusInstance() override;

    QXDClientCLS cls;
    const QString path;
    const QString creator;

    // The host's release (or its creator left the bus).
    void release();
    // Answers the call being handled with an error when `error` is set.
    void reply(const QString& error);
    void replyError(QDBusError::ErrorType type, const QString& text);

private:
    void propertiesSet(int kind);
    void emitEvent(const char* member, QByteArrayView signature = {}, const QByteArray& body = {});
    DBusFace& face_;
    const QByteArray pathBytes_;
    bool released_ = false;
    bool quoteAdmitted_ = true; // the event after a property change follows it
};

class ClassFactoryAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "QXDataClient.ClassFactory")
public:
    explicit ClassFactoryAdaptor(DBusFace* face)
        : QDBusAbstractAdaptor(face)
        , face_(face) {}
public slots:
    QDBusObjectPath CreateInstance() { return face_->CreateInstance(); }

private:
    DBusFace* face_;
};

// How the quote fields travel: texts as s, floats as d holding exactly the
// float's value (a written double beyond a float's range narrows as the
// methods' arguments do).
#define QXD_BUS_TYPE_QByteArray QString
#define QXD_BUS_TYPE_float double
inline QString ToBus(const QByteArray& b) {
    return BytesToBus(b);
}
inline double ToBus(float f) {
    return double(f);
}
inline void FromBus(const QString& s, QByteArray& out) {
    out = BusToBytes(s);
}
inline void FromBus(double d, float& out) {
    out = ToFloat(d);
}

// The object's properties, in interface order: the quote fields, then the
// kind of record (n), the server time (d), the tick count (n) and the life
// count (i). They are read and written through PropertiesAdaptor, which
// takes a value only with the property's own type.
class ClsAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "QXDataClient._QXDClientCLS")
#define QXD_BUS_PROPERTY(Property, handOffField, Type)                                             \
    Q_PROPERTY(QXD_BUS_TYPE_##Type Property READ get##Property WRITE set##Property)
    QXD_QUOTE_FIELDS(QXD_BUS_PROPERTY)
#undef QXD_BUS_PROPERTY
    Q_PROPERTY(short Flag READ getFlag WRITE setFlag)
    Q_PROPERTY(double QuvantixServerDateTime READ getQuvantixServerDateTime WRITE
                   setQuvantixServerDateTime)
    Q_PROPERTY(short nTicks READ getnTicks WRITE setnTicks)
    Q_PROPERTY(int mClassCont READ getmClassCont WRITE setmClassCont)
public:
    explicit ClsAdaptor(DBusInstance* inst)
        : QDBusAbstractAdaptor(inst)
        , i_(inst)
        , c_(inst->cls) {}

#define QXD_BUS_ACCESSORS(Property, handOffField, Type)                                            \
    QXD_BUS_TYPE_##Type get##Property() const {                                                    \
        return ToBus(c_.Property);                                                                 \
    }                                                                                              \
    void set##Property(const QXD_BUS_TYPE_##Type& v) {                                             \
        FromBus(v, c_.Property);                                                                   \
    }
    QXD_QUOTE_FIELDS(QXD_BUS_ACCESSORS)
#define QXD_PLAIN_ACCESSORS(Property, Type)                                                        \
    Type get##Property() const {                                                                   \
        return c_.Property;                                                                        \
    }                                                                                              \
    void set##Property(Type v) {                                                                   \
        c_.Property = v;                                                                           \
    }
    QXD_PLAIN_ACCESSORS(Flag, short)
    QXD_PLAIN_ACCESSORS(QuvantixServerDateTime, double)
    QXD_PLAIN_ACCESSORS(nTicks, short)
    QXD_PLAIN_ACCESSORS(mClassCont, int)
#undef QXD_PLAIN_ACCESSORS
#undef QXD_BUS_ACCESSORS

public slots:
    void AddSymbol(const QString& S) {
        i_->reply(c_.AddSymbol(BusToBytes(S)));
    }
    void LogOff() {
        i_->reply(c_.LogOff());
    }
    void RequestHistoricData(const QString& S, double Ty, double D1, double D2);
    void Iniciar(const QString& S) {
        i_->reply(c_.Iniciar(BusToBytes(S)));
    }
    void RequestSymbol(const QString& S) {
        i_->reply(c_.RequestSymbol(BusToBytes(S)));
    }
    void ShowMe() {
        i_->reply(c_.ShowMe());
    }

private:
    DBusInstance* i_;
    QXDClientCLS& c_;
};

// The events as introspection lists them. They are never emitted here: the
// instance writes and sends them itself, in order with PropertiesChanged.
class EventsAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "QXDataClient.__QXDClientCLS")
public:
    explicit EventsAdaptor(DBusInstance* inst)
        : QDBusAbstractAdaptor(inst) {}
signals:
    void FeederReady();
    void RequestAllSimbols();
    void NewTime(double DateTime);
    void EndDownload(const QString& Symbol, double Ty);
};

// org.freedesktop.DBus.Properties of an object, in place of QtDBus's own,
// which would take any value it can convert (a text "12" for a double, a
// double for a 16-bit integer, wrapping what does not fit): a value of
// another type than the property's gets an InvalidArgs error instead.
// Reads and writes go through the Q_PROPERTY list of ClsAdaptor.
class PropertiesAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.DBus.Properties")
    // QtDBus describes the standard interface itself; not twice.
    Q_CLASSINFO("D-Bus Introspection", "\n")
public:
    PropertiesAdaptor(DBusInstance* inst, ClsAdaptor* properties)
        : QDBusAbstractAdaptor(inst)
        , i_(inst)
        , properties_(properties) {}
public slots:
    QDBusVariant Get(const QString& interface, const QString& name);
    QVariantMap GetAll(const QString& interface);
    void Set(const QString& interface, const QString& name, const QDBusVariant& value);

private:
    // The property's index in ClsAdaptor, or -1 after an error reply.
    int find(const QString& interface, const QString& name);
    DBusInstance* i_;
    ClsAdaptor* properties_;
};

class InstanceAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "QXDataClient.Instance")
public:
    explicit InstanceAdaptor(DBusInstance* inst)
        : QDBusAbstractAdaptor(inst)
        , i_(inst) {}
public slots:
    void Release() { i_->release(); }

private:
    DBusInstance* i_;
};

// D-Bus activation file: written by --regserver, removed by --unregserver.
QString ServiceFilePath();
// A program path as the activation file's Exec= line carries it, quoted for
// the bus daemon's two readings of the line (a desktop-file value, then a
// shell-like split), so that blanks, quotes and backslashes survive.
QByteArray QuoteExec(const QByteArray& path);
bool WriteServiceFile(const QString& exec, QString* error);
bool RemoveServiceFile(QString* error);

} // namespace qxd
