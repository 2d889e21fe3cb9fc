// The automation object on the session bus, through sd-bus (libsystemd).
//
// Bus name QXDataClient.QXDClientCLS; the class factory at /QXDClientCLS
// (interface QXDataClient.ClassFactory, CreateInstance() -> o) makes objects
// at /QXDClientCLS/1, /2, ... Each object has the interfaces
// QXDataClient._QXDClientCLS (19 properties, six methods),
// QXDataClient.__QXDClientCLS (the four events as signals) and
// QXDataClient.Instance (Release), each described once, as a vtable, from
// which the bus library also writes the introspection. Before each
// FeederReady and NewTime the object sends PropertiesChanged with the
// properties the relay has just set. When the connection that created an
// object goes away, the object is released as if it had called Release().
//
// The connection runs on the client's thread, driven by Qt's event loop.
// Method calls are taken off the bus and run as events of their own, as
// the client runs every call: a call that yields (a logoff) lets further
// calls, socket events and ticks run meanwhile.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace qxd {

constexpr char BusName[] = "QXDataClient.QXDClientCLS";
constexpr char FactoryPath[] = "/QXDClientCLS";
constexpr char ClassInterface[] = "QXDataClient._QXDClientCLS";

// Texts on the bus: UTF-8 when the bytes are valid UTF-8, else Latin-1 byte
// for byte (a NUL, which the bus cannot carry, becomes U+FFFD).
QString BytesToBus(const QByteArray& b);
QByteArray BusToBytes(const QString& s);
// The same text as UTF-8 bytes; plain ASCII (every symbol in practice) as it is.
QByteArray BusUtf8(const QByteArray& b);

class DBusFace : public QObject {
    Q_OBJECT
public:
    // Connects to the session bus (DBUS_SESSION_BUS_ADDRESS).
    DBusFace();
    ~DBusFace() override;

    // Whether there is a session bus at all.
    bool connected() const;
    // Exports the factory and takes the bus name; false (with the reason)
    // when there is no bus, the name is already taken or the bus refuses.
    bool start(QString* error);
    // Writes out everything queued (replies, signals); blocks until done.
    void flush();

    // At most MaxInstances objects live at a time: a host that creates them
    // in a loop gets an error rather than growing the client without bound.
    static constexpr int MaxInstances = 1000;
    int liveInstances() const;

    // A bus that stops taking messages (a stopped or overwhelmed daemon)
    // would leave them to pile up in the client without bound. So each
    // quote asks first: while more than HighBytes wait to be written
    // (queued messages at their typical size), quotes for the hosts are
    // dropped whole (their property change and event together) until no
    // more than LowBytes wait; `notice` says when that starts and ends.
    // Other signals (logons, downloads) always go.
    static constexpr qint64 HighBytes = 16 << 20;
    static constexpr qint64 LowBytes = 4 << 20;
    std::function<void(const QString&)> notice;

    struct Private;

private:
    std::unique_ptr<Private> d_;
};

// Each interface the client serves, as introspection XML, from the same
// description the bus is served from (for files a host's tools can read).
struct InterfaceDescription {
    QByteArray name, xml;
};
std::vector<InterfaceDescription> InterfaceDescriptions();

// D-Bus activation file: written by --regserver, removed by --unregserver.
QString ServiceFilePath();
// A program path as the activation file's Exec= line carries it, quoted for
// the bus daemon's two readings of the line (a desktop-file value, then a
// shell-like split), so that blanks, quotes and backslashes survive.
QByteArray QuoteExec(const QByteArray& path);
bool WriteServiceFile(const QString& exec, QString* error);
bool RemoveServiceFile(QString* error);

} // namespace qxd
