#include "automation/dbus_face.h"

#include "automation/client_status.h"
#include "automation/qxdclientcls.h"
#include "wire/convert.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QStringDecoder>
#include <QTimer>

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <poll.h>
#include <string>
#include <utility>
#include <vector>

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

QByteArray BusUtf8(const QByteArray& b) {
    for (char c : b) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0 || u > 127) return BytesToBus(b).toUtf8(); // also where char is unsigned
    }
    return b;
}

namespace {

constexpr char EventsInterface[] = "QXDataClient.__QXDClientCLS";
constexpr char InstanceInterface[] = "QXDataClient.Instance";
constexpr char FactoryInterface[] = "QXDataClient.ClassFactory";
constexpr char StatusInterface[] = "QXDataClient.Status";
// What one queued message takes, on average over a quote's two signals,
// for the backlog rule (the bus library counts messages, not bytes).
constexpr qint64 QueuedMessageBytes = 400;

// Property values as they travel: floats as d holding exactly the float's
// value, texts as s (see BytesToBus), 16-bit integers as n, 32-bit ones as i.
template <class T>
constexpr const char* Signature = nullptr;
template <>
constexpr const char* Signature<float> = "d";
template <>
constexpr const char* Signature<double> = "d";
template <>
constexpr const char* Signature<QByteArray> = "s";
template <>
constexpr const char* Signature<std::int16_t> = "n";
template <>
constexpr const char* Signature<std::int32_t> = "i";

int append(sd_bus_message* m, float v) {
    return sd_bus_message_append(m, "d", double(v));
}
int append(sd_bus_message* m, double v) {
    return sd_bus_message_append(m, "d", v);
}
int append(sd_bus_message* m, const QByteArray& v) {
    return sd_bus_message_append(m, "s", BusUtf8(v).constData());
}
int append(sd_bus_message* m, std::int16_t v) {
    return sd_bus_message_append(m, "n", v);
}
int append(sd_bus_message* m, std::int32_t v) {
    return sd_bus_message_append(m, "i", v);
}

// A written double beyond a float's range narrows as the methods'
// arguments do.
int read(sd_bus_message* m, float& out) {
    double d = 0;
    const int r = sd_bus_message_read(m, "d", &d);
    if (r >= 0) out = ToFloat(d);
    return r;
}
int read(sd_bus_message* m, double& out) {
    return sd_bus_message_read(m, "d", &out);
}
int read(sd_bus_message* m, QByteArray& out) {
    const char* s = nullptr;
    const int r = sd_bus_message_read(m, "s", &s);
    if (r >= 0) out = BusToBytes(QString::fromUtf8(s));
    return r;
}
int read(sd_bus_message* m, std::int16_t& out) {
    return sd_bus_message_read(m, "n", &out);
}
int read(sd_bus_message* m, std::int32_t& out) {
    return sd_bus_message_read(m, "i", &out);
}

} // namespace

// One object on the bus: a QXDClientCLS and its three interfaces.
class DBusInstance : public QObject {
public:
    DBusInstance(DBusFace::Private& face, int number, const char* creator);
    ~DBusInstance() override;

    QXDClientCLS cls;
    const std::string path;

    bool publish(sd_bus* bus);
    const std::string& creator() const { return creator_; }
    // The host's release (or its creator left the bus): the object leaves
    // the bus at once; the release may end the program.
    void release();
    // Runs a method call taken off the bus, and answers it.
    void run(sd_bus_message* call);

private:
    void propertiesSet(int kind);
    void emitEvent(const char* member, const char* signature = nullptr, ...);
    void unpublish();

    DBusFace::Private& face_;
    const std::string creator_;
    sd_bus_slot* slots_[4] = {};
    bool released_ = false;
    bool quoteAdmitted_ = true; // the event after a property change follows it
};

struct DBusFace::Private {
    DBusFace* q;
    sd_bus* bus = nullptr;
    int openError = 0;
    QSocketNotifier* reader = nullptr;
    QSocketNotifier* writer = nullptr;
    QTimer timeout;
    sd_bus_slot* factorySlot = nullptr;
    int next = 1;
    std::vector<QPointer<DBusInstance>> instances;
    // One track a creating connection, whatever the number of its objects
    // (each tracked name costs a match rule on the bus, and the bus allows
    // a connection only so many).
    std::map<std::string, sd_bus_track*> creators;
    bool processing = false;
    bool dropping = false;
    qint64 dropped = 0;

    void process();
    void rearm();
    void lost();
    bool admitQuote();
    int liveInstances() const {
        int n = 0;
        for (const auto& i : instances) n += !i.isNull();
        return n;
    }
    void forget(DBusInstance* inst) {
        std::erase_if(instances, [inst](const QPointer<DBusInstance>& p) { return p == inst; });
        const std::string& c = inst->creator();
        const bool more = std::any_of(instances.begin(), instances.end(),
                                      [&c](const auto& p) { return p && p->creator() == c; });
        if (more) return;
        if (auto it = creators.find(c); it != creators.end()) {
            sd_bus_track_unref(it->second);
            creators.erase(it);
        }
    }
    void track(const std::string& creator);
    void creatorGone(sd_bus_track* track);
    // Runs `send` for the path of every live object, then sees the messages written.
    template <class Send>
    void forEachObject(const Send& send) {
        if (!bus) return;
        for (const auto& i : instances)
            if (i) send(i->path.c_str());
        rearm();
    }
};

namespace {

template <auto Field>
int getProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                void* userdata, sd_bus_error*) {
    return append(reply, static_cast<DBusInstance*>(userdata)->cls.*Field);
}

template <auto Field>
int setProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* value,
                void* userdata, sd_bus_error*) {
    return read(value, static_cast<DBusInstance*>(userdata)->cls.*Field);
}

// Method calls run as events of their own, off the bus library's dispatch:
// a call that yields lets other calls and events run meanwhile.
int takeCall(sd_bus_message* call, void* userdata, sd_bus_error*) {
    auto* inst = static_cast<DBusInstance*>(userdata);
    sd_bus_message_ref(call);
    QMetaObject::invokeMethod(
        inst,
        [inst, call] {
            inst->run(call);
            sd_bus_message_unref(call);
        },
        Qt::QueuedConnection);
    return 1;
}

#define QXD_PROPERTY(Property, Type)                                                               \
    SD_BUS_WRITABLE_PROPERTY(#Property, Signature<Type>, getProperty<&QXDClientCLS::Property>,     \
                             setProperty<&QXDClientCLS::Property>, 0,                              \
                             SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE)
#define QXD_QUOTE_PROPERTY(Property, handOffField, Type) QXD_PROPERTY(Property, Type),

// The interfaces, in the order of the host's contract.
const sd_bus_vtable ClassVtable[] = {
    SD_BUS_VTABLE_START(0),
    QXD_QUOTE_FIELDS(QXD_QUOTE_PROPERTY) QXD_PROPERTY(Flag, std::int16_t),
    QXD_PROPERTY(QuvantixServerDateTime, double),
    QXD_PROPERTY(nTicks, std::int16_t),
    QXD_PROPERTY(mClassCont, std::int32_t),
    SD_BUS_METHOD_WITH_NAMES("AddSymbol", "s", SD_BUS_PARAM(S), "", , takeCall, 0),
    SD_BUS_METHOD("LogOff", "", "", takeCall, 0),
    SD_BUS_METHOD_WITH_NAMES("RequestHistoricData", "sddd",
                             SD_BUS_PARAM(S) SD_BUS_PARAM(Ty) SD_BUS_PARAM(D1) SD_BUS_PARAM(D2), "",
                             , takeCall, 0),
    SD_BUS_METHOD_WITH_NAMES("Iniciar", "s", SD_BUS_PARAM(S), "", , takeCall, 0),
    SD_BUS_METHOD_WITH_NAMES("RequestSymbol", "s", SD_BUS_PARAM(S), "", , takeCall, 0),
    SD_BUS_METHOD("ShowMe", "", "", takeCall, 0),
    SD_BUS_VTABLE_END,
};
#undef QXD_QUOTE_PROPERTY
#undef QXD_PROPERTY

const sd_bus_vtable EventsVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_SIGNAL("FeederReady", "", 0),
    SD_BUS_SIGNAL("RequestAllSimbols", "", 0),
    SD_BUS_SIGNAL_WITH_NAMES("NewTime", "d", SD_BUS_PARAM(DateTime), 0),
    SD_BUS_SIGNAL_WITH_NAMES("EndDownload", "sd", SD_BUS_PARAM(Symbol) SD_BUS_PARAM(Ty), 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable InstanceVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Release", "", "", takeCall, 0),
    SD_BUS_VTABLE_END,
};

// The host's status: the same for every object, read when asked.
int append(sd_bus_message* m, const QString& v) {
    return sd_bus_message_append(m, "s", v.toUtf8().constData());
}
int append(sd_bus_message* m, quint64 v) {
    return sd_bus_message_append(m, "t", std::uint64_t(v));
}
int append(sd_bus_message* m, const QStringList& v) {
    int r = sd_bus_message_open_container(m, 'a', "s");
    for (const QString& s : v)
        if (r >= 0) r = append(m, s);
    return r < 0 ? r : sd_bus_message_close_container(m);
}
int append(sd_bus_message* m, const QList<DownloadEntry>& v) {
    int r = sd_bus_message_open_container(m, 'a', "(sddds)");
    for (const DownloadEntry& d : v)
        if (r >= 0)
            r = sd_bus_message_append(m, "(sddds)", d.symbol.toUtf8().constData(), d.interval,
                                      d.from, d.to, d.state.toUtf8().constData());
    return r < 0 ? r : sd_bus_message_close_container(m);
}

template <auto Getter>
int getStatus(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
              sd_bus_error*) {
    return append(reply, (ClientStatus::instance().*Getter)());
}

#define QXD_STATUS(Name, Signature, Getter)                                                        \
    SD_BUS_PROPERTY(Name, Signature, getStatus<&ClientStatus::Getter>, 0,                          \
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE)
const sd_bus_vtable StatusVtable[] = {
    SD_BUS_VTABLE_START(0),
    QXD_STATUS("FeedState", "s", feedState),
    QXD_STATUS("HistoricState", "s", historicState),
    QXD_STATUS("StatusText", "s", statusText),
    QXD_STATUS("ServerMessage", "s", serverMessage),
    QXD_STATUS("Clients", "i", clients),
    QXD_STATUS("Received", "t", received),
    QXD_STATUS("SkippedChunks", "t", skippedChunks),
    QXD_STATUS("DroppedChunks", "t", droppedChunks),
    QXD_STATUS("Subscriptions", "as", subscriptions),
    QXD_STATUS("Downloads", "a(sddds)", downloads),
    QXD_STATUS("DownloadBytes", "t", downloadBytes),
    SD_BUS_SIGNAL_WITH_NAMES("DownloadEnded", "sdbs",
                             SD_BUS_PARAM(Symbol) SD_BUS_PARAM(Ty) SD_BUS_PARAM(Ok)
                                 SD_BUS_PARAM(Reason),
                             0),
    SD_BUS_SIGNAL_WITH_NAMES("Note", "s", SD_BUS_PARAM(Text), 0),
    SD_BUS_SIGNAL_WITH_NAMES("Overloaded", "tt", SD_BUS_PARAM(Skipped) SD_BUS_PARAM(Dropped), 0),
    SD_BUS_VTABLE_END,
};
#undef QXD_STATUS

// The properties a relay sets, each with how PropertiesChanged carries it.
// The message is built here with the library's own writer rather than by
// sd_bus_emit_properties_changed, which looks every name up in the object
// tree anew: a quote's properties are known, and a quote is the hot path.
struct ChangedEntry {
    const char* name;
    const char* signature;
    int (*append)(sd_bus_message*, const QXDClientCLS&);
};
struct ChangedEntries {
    std::vector<ChangedEntry> quote, trade, time;
    ChangedEntries() {
#define QXD_ENTRY(Property, Type)                                                                  \
    ChangedEntry {                                                                                 \
#Property, Signature < Type>,                                                              \
            [](sd_bus_message * m, const QXDClientCLS& c) { return append(m, c.Property); }        \
    }
#define QXD_QUOTE_ENTRY(Property, handOffField, Type) quote.push_back(QXD_ENTRY(Property, Type));
        QXD_QUOTE_FIELDS(QXD_QUOTE_ENTRY)
        quote.push_back(QXD_ENTRY(Flag, std::int16_t));
        trade = quote;
        trade.push_back(QXD_ENTRY(nTicks, std::int16_t));
        time.push_back(QXD_ENTRY(QuvantixServerDateTime, double));
#undef QXD_QUOTE_ENTRY
#undef QXD_ENTRY
    }
};
const ChangedEntries& changedEntries() {
    static const ChangedEntries e;
    return e;
}

// PropertiesChanged (sa{sv}as) for `entries` of `cls`.
int sendPropertiesChanged(sd_bus* bus, const char* path, const std::vector<ChangedEntry>& entries,
                          const QXDClientCLS& cls) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_signal(bus, &m, path, "org.freedesktop.DBus.Properties",
                                      "PropertiesChanged");
    if (r < 0) return r;
    r = sd_bus_message_append(m, "s", ClassInterface);
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
    for (const ChangedEntry& e : entries) {
        if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
        if (r >= 0) r = sd_bus_message_append(m, "s", e.name);
        if (r >= 0) r = sd_bus_message_open_container(m, 'v', e.signature);
        if (r >= 0) r = e.append(m, cls);
        if (r >= 0) r = sd_bus_message_close_container(m);
        if (r >= 0) r = sd_bus_message_close_container(m);
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_append(m, "as", 0);
    if (r >= 0) r = sd_bus_send(bus, m, nullptr);
    sd_bus_message_unref(m);
    return r;
}

int creatorGone(sd_bus_track* track, void* userdata) {
    static_cast<DBusFace::Private*>(userdata)->creatorGone(track);
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------
// Instance

DBusInstance::DBusInstance(DBusFace::Private& face, int number, const char* creator)
    : path(std::string(FactoryPath) + "/" + std::to_string(number))
    , face_(face)
    , creator_(creator ? creator : "") {
    connect(&cls, &QXDClientCLS::propertiesSet, this, &DBusInstance::propertiesSet);
    connect(&cls, &QXDClientCLS::FeederReady, this, [this] {
        if (quoteAdmitted_) emitEvent("FeederReady");
    });
    connect(&cls, &QXDClientCLS::RequestAllSimbols, this,
            [this] { emitEvent("RequestAllSimbols"); });
    connect(&cls, &QXDClientCLS::NewTime, this, [this](double t) {
        if (quoteAdmitted_) emitEvent("NewTime", "d", t);
    });
    connect(&cls, &QXDClientCLS::EndDownload, this, [this](const QByteArray& s, float ty) {
        emitEvent("EndDownload", "sd", BusUtf8(s).constData(), double(ty));
    });
}

DBusInstance::~DBusInstance() {
    unpublish();
}

bool DBusInstance::publish(sd_bus* bus) {
    const sd_bus_vtable* tables[] = {ClassVtable, EventsVtable, InstanceVtable, StatusVtable};
    const char* names[] = {ClassInterface, EventsInterface, InstanceInterface, StatusInterface};
    for (int i = 0; i < 4; ++i)
        if (sd_bus_add_object_vtable(bus, &slots_[i], path.c_str(), names[i], tables[i], this) < 0)
            return false;
    return true;
}

void DBusInstance::unpublish() {
    for (sd_bus_slot*& s : slots_) s = sd_bus_slot_unref(s);
}

void DBusInstance::release() {
    if (released_) return;
    released_ = true;
    // The object leaves the bus whatever its count; the count only decides
    // whether the program ends.
    unpublish();
    face_.forget(this);
    cls.Release();
    deleteLater();
}

void DBusInstance::run(sd_bus_message* call) {
    const std::string member = sd_bus_message_get_member(call);
    auto answer = [&](const QString& error) {
        if (error.isEmpty())
            sd_bus_reply_method_return(call, "");
        else
            sd_bus_reply_method_errorf(call, SD_BUS_ERROR_FAILED, "%s", qPrintable(error));
        face_.rearm();
    };
    if (released_) {
        sd_bus_reply_method_errorf(call, SD_BUS_ERROR_UNKNOWN_OBJECT, "%s was released",
                                   path.c_str());
        return;
    }
    if (member == "Release") {
        answer({}); // before the release, which may end the program at once
        release();
        return;
    }
    if (member == "LogOff") return answer(cls.LogOff());
    if (member == "ShowMe") return answer(cls.ShowMe());
    if (member == "RequestHistoricData") {
        const char* s = nullptr;
        double ty = 0, d1 = 0, d2 = 0;
        if (sd_bus_message_read(call, "sddd", &s, &ty, &d1, &d2) < 0)
            return answer(QStringLiteral("Bad arguments"));
        return answer(
            cls.RequestHistoricData(BusToBytes(QString::fromUtf8(s)), ToFloat(ty), d1, d2));
    }
    const char* s = nullptr;
    if (sd_bus_message_read(call, "s", &s) < 0) return answer(QStringLiteral("Bad arguments"));
    const QByteArray text = BusToBytes(QString::fromUtf8(s));
    if (member == "AddSymbol") return answer(cls.AddSymbol(text));
    if (member == "Iniciar") return answer(cls.Iniciar(text));
    if (member == "RequestSymbol") return answer(cls.RequestSymbol(text));
    answer(QStringLiteral("Unknown method"));
}

void DBusInstance::emitEvent(const char* member, const char* signature, ...) {
    if (!face_.bus || released_) return;
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_signal(face_.bus, &m, path.c_str(), EventsInterface, member) >= 0) {
        int r = 0;
        if (signature) {
            va_list ap;
            va_start(ap, signature);
            r = sd_bus_message_appendv(m, signature, ap);
            va_end(ap);
        }
        if (r >= 0) sd_bus_send(face_.bus, m, nullptr);
        sd_bus_message_unref(m);
    }
    face_.rearm();
}

void DBusInstance::propertiesSet(int kind) {
    quoteAdmitted_ = face_.admitQuote();
    if (!quoteAdmitted_ || !face_.bus || released_) return;
    const ChangedEntries& e = changedEntries();
    sendPropertiesChanged(face_.bus, path.c_str(),
                          kind == KindTime    ? e.time
                          : kind == KindTrade ? e.trade
                                              : e.quote,
                          cls);
    face_.rearm();
}

// ---------------------------------------------------------------------------
// The connection in Qt's event loop

void DBusFace::Private::process() {
    if (!bus || processing) return;
    processing = true;
    int r = 0;
    while ((r = sd_bus_process(bus, nullptr)) > 0) {
    }
    processing = false;
    if (r < 0 && r != -EBUSY) {
        lost();
        return;
    }
    rearm();
}

void DBusFace::Private::rearm() {
    if (!bus) return;
    const int events = sd_bus_get_events(bus);
    if (events < 0) return;
    writer->setEnabled(events & POLLOUT);
    std::uint64_t until = 0;
    if (sd_bus_get_timeout(bus, &until) < 0 || until == UINT64_MAX) {
        timeout.stop();
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUs =
        std::uint64_t(now.tv_sec) * 1000000 + std::uint64_t(now.tv_nsec) / 1000;
    timeout.start(int(until > nowUs ? (until - nowUs + 999) / 1000 : 0));
}

// The bus went away: every object's creator with it.
void DBusFace::Private::lost() {
    reader->setEnabled(false);
    writer->setEnabled(false);
    timeout.stop();
    const std::vector<QPointer<DBusInstance>> all = instances;
    for (const auto& i : all)
        if (i)
            QMetaObject::invokeMethod(
                i,
                [i] {
                    if (i) i->release();
                },
                Qt::QueuedConnection);
}

void DBusFace::Private::track(const std::string& creator) {
    if (creator.empty() || creators.count(creator)) return;
    sd_bus_track* t = nullptr;
    if (sd_bus_track_new(bus, &t, qxd::creatorGone, this) < 0) return;
    if (sd_bus_track_add_name(t, creator.c_str()) < 0) {
        sd_bus_track_unref(t); // not tracked: its objects live until released
        return;
    }
    creators[creator] = t;
}

// The connection that created objects left the bus: each is released, as
// an event of its own. The empty track goes at once (the bus library would
// call again for it on every dispatch).
void DBusFace::Private::creatorGone(sd_bus_track* t) {
    std::string creator;
    for (auto it = creators.begin(); it != creators.end(); ++it)
        if (it->second == t) {
            creator = it->first;
            creators.erase(it);
            break;
        }
    sd_bus_track_unref(t);
    for (const auto& i : instances)
        if (i && i->creator() == creator)
            QMetaObject::invokeMethod(
                i,
                [i] {
                    if (i) i->release();
                },
                Qt::QueuedConnection);
}

bool DBusFace::Private::admitQuote() {
    if (!bus) return true; // nothing is sent anyway
    std::uint64_t queued = 0;
    sd_bus_get_n_queued_write(bus, &queued);
    const qint64 waiting = qint64(queued) * QueuedMessageBytes;
    if (!dropping && waiting <= HighBytes) return true;
    if (dropping && waiting <= LowBytes) {
        dropping = false;
        if (q->notice)
            q->notice(QStringLiteral("The session bus takes signals again; %1 quotes for the hosts "
                                     "were dropped meanwhile")
                          .arg(dropped));
        return true;
    }
    if (!dropping) {
        dropping = true;
        dropped = 0;
        if (q->notice)
            q->notice(
                QStringLiteral("The session bus is not taking signals (%1 MB waiting): quotes "
                               "for the hosts are dropped until it does")
                    .arg(waiting >> 20));
    }
    ++dropped;
    return false;
}

// ---------------------------------------------------------------------------
// Factory

namespace {

int createInstance(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto* d = static_cast<DBusFace::Private*>(userdata);
    if (d->liveInstances() >= DBusFace::MaxInstances)
        return sd_bus_error_setf(error, SD_BUS_ERROR_LIMITS_EXCEEDED,
                                 "At most %d objects at a time", DBusFace::MaxInstances);
    auto* inst = new DBusInstance(*d, d->next++, sd_bus_message_get_sender(call));
    if (!inst->publish(d->bus)) {
        const std::string path = inst->path;
        delete inst;
        return sd_bus_error_setf(error, SD_BUS_ERROR_FAILED, "Cannot export %s", path.c_str());
    }
    d->instances.emplace_back(inst);
    d->track(inst->creator());
    return sd_bus_reply_method_return(call, "o", inst->path.c_str());
}

const sd_bus_vtable FactoryVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CreateInstance", "", "o", createInstance, 0),
    SD_BUS_VTABLE_END,
};

// The complete types of a signature, one by one ("a(sd)s" gives "a(sd)", "s").
std::vector<std::string> completeTypes(const char* signature) {
    std::vector<std::string> out;
    std::string current;
    int depth = 0;
    for (const char* c = signature; c && *c; ++c) {
        current += *c;
        if (*c == '(' || *c == '{') ++depth;
        if (*c == ')' || *c == '}') --depth;
        if (depth == 0 && *c != 'a') out.push_back(std::exchange(current, {}));
    }
    return out;
}

// The argument elements of a method's or a signal's signature; `names` is
// advanced past the names it used (the vtable keeps them one after another,
// each ended by a NUL).
QByteArray argumentXml(const char* signature, const char*& names, const char* direction) {
    QByteArray xml;
    for (const std::string& type : completeTypes(signature)) {
        xml += "   <arg type=\"" + QByteArray::fromStdString(type) + '"';
        if (names && *names) {
            xml += " name=\"" + QByteArray(names) + '"';
            names += std::strlen(names) + 1;
        }
        if (direction) xml += " direction=\"" + QByteArray(direction) + '"';
        xml += "/>\n";
    }
    return xml;
}

QByteArray member(const char* kind, const char* name, const QByteArray& args) {
    const QByteArray head = "  <" + QByteArray(kind) + " name=\"" + name + '"';
    return args.isEmpty() ? head + "/>\n" : head + ">\n" + args + "  </" + kind + ">\n";
}

// One interface as introspection XML, written from the vtable the bus
// library serves it from.
QByteArray interfaceXml(const char* name, const sd_bus_vtable* vtable) {
    QByteArray xml = "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection "
                     "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/"
                     "introspect.dtd\">\n<node>\n <interface name=\"" +
                     QByteArray(name) + "\">\n";
    for (const sd_bus_vtable* v = vtable; v->type != _SD_BUS_VTABLE_END; ++v) {
        switch (v->type) {
        case _SD_BUS_VTABLE_METHOD: {
            const char* names = v->x.method.names;
            xml += member("method", v->x.method.member,
                          argumentXml(v->x.method.signature, names, "in") +
                              argumentXml(v->x.method.result, names, "out"));
            break;
        }
        case _SD_BUS_VTABLE_SIGNAL: {
            const char* names = v->x.signal.names;
            xml += member("signal", v->x.signal.member,
                          argumentXml(v->x.signal.signature, names, nullptr));
            break;
        }
        case _SD_BUS_VTABLE_PROPERTY:
        case _SD_BUS_VTABLE_WRITABLE_PROPERTY: {
            xml += "  <property name=\"" + QByteArray(v->x.property.member) + "\" type=\"" +
                   QByteArray(v->x.property.signature) + "\" access=\"" +
                   (v->type == _SD_BUS_VTABLE_WRITABLE_PROPERTY ? "readwrite" : "read") + '"';
            const char* emits = v->flags & SD_BUS_VTABLE_PROPERTY_CONST ? "const"
                                : v->flags & SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION
                                    ? "invalidates"
                                : v->flags & SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE ? nullptr
                                                                                 : "false";
            xml += emits ? ">\n   <annotation name=\"org.freedesktop.DBus.Property."
                           "EmitsChangedSignal\" value=\"" +
                               QByteArray(emits) + "\"/>\n  </property>\n"
                         : QByteArray("/>\n");
            break;
        }
        default:
            break;
        }
    }
    return xml + " </interface>\n</node>\n";
}

} // namespace

std::vector<InterfaceDescription> InterfaceDescriptions() {
    return {{FactoryInterface, interfaceXml(FactoryInterface, FactoryVtable)},
            {ClassInterface, interfaceXml(ClassInterface, ClassVtable)},
            {EventsInterface, interfaceXml(EventsInterface, EventsVtable)},
            {InstanceInterface, interfaceXml(InstanceInterface, InstanceVtable)},
            {StatusInterface, interfaceXml(StatusInterface, StatusVtable)}};
}

DBusFace::DBusFace()
    : d_(std::make_unique<Private>()) {
    d_->q = this;
    d_->openError = sd_bus_open_user(&d_->bus);
    if (d_->openError < 0) {
        d_->bus = nullptr;
        return;
    }
    const int fd = sd_bus_get_fd(d_->bus);
    d_->reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    d_->writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    d_->writer->setEnabled(false);
    d_->timeout.setSingleShot(true);
    connect(d_->reader, &QSocketNotifier::activated, this, [this] { d_->process(); });
    connect(d_->writer, &QSocketNotifier::activated, this, [this] { d_->process(); });
    connect(&d_->timeout, &QTimer::timeout, this, [this] { d_->process(); });
    d_->rearm();

    // The status goes to every object's Status interface.
    ClientStatus& status = ClientStatus::instance();
    connect(&status, &ClientStatus::propertiesChanged, this, [this](const QList<QByteArray>& n) {
        std::vector<char*> names;
        for (const QByteArray& name : n) names.push_back(const_cast<char*>(name.constData()));
        names.push_back(nullptr);
        d_->forEachObject([&](const char* path) {
            sd_bus_emit_properties_changed_strv(d_->bus, path, StatusInterface, names.data());
        });
    });
    connect(&status, &ClientStatus::DownloadEnded, this,
            [this](const QString& symbol, double ty, bool ok, const QString& reason) {
                d_->forEachObject([&](const char* path) {
                    sd_bus_emit_signal(d_->bus, path, StatusInterface, "DownloadEnded", "sdbs",
                                       symbol.toUtf8().constData(), ty, int(ok),
                                       reason.toUtf8().constData());
                });
            });
    connect(&status, &ClientStatus::Note, this, [this](const QString& text) {
        d_->forEachObject([&](const char* path) {
            sd_bus_emit_signal(d_->bus, path, StatusInterface, "Note", "s",
                               text.toUtf8().constData());
        });
    });
    connect(&status, &ClientStatus::Overloaded, this, [this](quint64 skipped, quint64 dropped) {
        d_->forEachObject([&](const char* path) {
            sd_bus_emit_signal(d_->bus, path, StatusInterface, "Overloaded", "tt",
                               std::uint64_t(skipped), std::uint64_t(dropped));
        });
    });
}

DBusFace::~DBusFace() {
    for (const auto& i : d_->instances) delete i.data();
    for (auto& [name, t] : d_->creators) sd_bus_track_unref(t);
    sd_bus_slot_unref(d_->factorySlot);
    if (d_->bus) sd_bus_flush_close_unref(d_->bus);
}

bool DBusFace::connected() const {
    return d_->bus != nullptr;
}

int DBusFace::liveInstances() const {
    return d_->liveInstances();
}

bool DBusFace::start(QString* error) {
    if (!d_->bus) {
        *error = QStringLiteral("No session bus: %1").arg(ErrnoText(-d_->openError));
        return false;
    }
    if (sd_bus_add_object_vtable(d_->bus, &d_->factorySlot, FactoryPath, FactoryInterface,
                                 FactoryVtable, d_.get()) < 0) {
        *error =
            QStringLiteral("Cannot export %1 on the bus").arg(QString::fromLatin1(FactoryPath));
        return false;
    }
    const int r = sd_bus_request_name(d_->bus, BusName, 0);
    if (r < 0) {
        *error = r == -EEXIST
                     ? QStringLiteral("The bus name %1 is already taken: another qxdataclient is "
                                      "running")
                           .arg(QString::fromLatin1(BusName))
                     : QStringLiteral("Cannot take the bus name %1: %2")
                           .arg(QString::fromLatin1(BusName), ErrnoText(-r));
        d_->factorySlot = sd_bus_slot_unref(d_->factorySlot);
        return false;
    }
    d_->process();
    return true;
}

void DBusFace::flush() {
    if (d_->bus) sd_bus_flush(d_->bus);
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
