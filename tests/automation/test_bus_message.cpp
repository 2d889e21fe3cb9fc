// Signals written by hand against the same signals built through the bus
// library's own writer: byte for byte equal.
#include "automation/bus_message.h"
#include "automation/qxdclientcls.h"
#include "handoff/handoff.h"

#include <QTest>

#include <dbus/dbus.h>

#include <memory>

using namespace qxd;

namespace {

using Message = std::unique_ptr<DBusMessage, decltype(&dbus_message_unref)>;

QByteArray marshal(DBusMessage* m, std::uint32_t serial) {
    dbus_message_set_serial(m, serial);
    dbus_message_set_no_reply(m, TRUE);
    char* bytes = nullptr;
    int n = 0;
    if (!dbus_message_marshal(m, &bytes, &n)) return {};
    QByteArray out(bytes, n);
    dbus_free(bytes);
    return out;
}

void appendEntry(DBusMessageIter* dict, const char* key, int type, const void* value) {
    const char sig[2] = {char(type), 0};
    DBusMessageIter entry, variant;
    dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, sig, &variant);
    dbus_message_iter_append_basic(&variant, type, value);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(dict, &entry);
}

// PropertiesChanged as the library writes it, keys in name order.
QByteArray libraryPropertiesChanged(int kind, const QXDClientCLS& c, std::uint32_t serial) {
    Message m(dbus_message_new_signal("/QXDClientCLS/12", "org.freedesktop.DBus.Properties",
                                      "PropertiesChanged"),
              &dbus_message_unref);
    DBusMessageIter it, dict, none;
    dbus_message_iter_init_append(m.get(), &it);
    const char* iface = "QXDataClient._QXDClientCLS";
    dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &iface);
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &dict);
    auto number = [&](const char* key, float v) {
        const double d = v;
        appendEntry(&dict, key, DBUS_TYPE_DOUBLE, &d);
    };
    if (kind == KindTime) {
        appendEntry(&dict, "QuvantixServerDateTime", DBUS_TYPE_DOUBLE, &c.QuvantixServerDateTime);
    } else {
        number("Ask", c.Ask);
        number("AskS", c.AskS);
        number("Bid", c.Bid);
        number("BidS", c.BidS);
        number("Change", c.Change);
        appendEntry(&dict, "Flag", DBUS_TYPE_INT16, &c.Flag);
        number("High", c.High);
        number("Last", c.Last);
        number("LastS", c.LastS);
        number("Low", c.Low);
        number("OInt", c.OInt);
        number("OpenV", c.OpenV);
        number("Previous", c.Previous);
        const char* sym = c.Simbolo.constData();
        appendEntry(&dict, "Simbolo", DBUS_TYPE_STRING, &sym);
        number("TimeV", c.TimeV);
        number("Vol", c.Vol);
        if (kind == KindTrade) appendEntry(&dict, "nTicks", DBUS_TYPE_INT16, &c.nTicks);
    }
    dbus_message_iter_close_container(&it, &dict);
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "s", &none);
    dbus_message_iter_close_container(&it, &none);
    return marshal(m.get(), serial);
}

} // namespace

class TestBusMessage : public QObject {
    Q_OBJECT
private slots:
    void propertiesChanged_data();
    void propertiesChanged();
    void events();
};

void TestBusMessage::propertiesChanged_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("simbolo");
    // Every symbol length from 0 to 8 moves the later entries through each
    // padding of the 8-byte alignment.
    for (int n = 0; n <= 8; ++n)
        QTest::addRow("trade, %d-byte symbol", n) << int(KindTrade) << QByteArray(n, 'P');
    QTest::newRow("complete, UTF-8 symbol") << int(KindComplete) << QByteArray("A\xC3\xA7\xC3\xA3");
    QTest::newRow("server time") << int(KindTime) << QByteArray();
}

void TestBusMessage::propertiesChanged() {
    QFETCH(int, kind);
    QFETCH(QByteArray, simbolo);
    QXDClientCLS c;
    c.Simbolo = simbolo;
    float* quote[] = {&c.Last,  &c.LastS, &c.Bid, &c.Ask,      &c.AskS, &c.BidS, &c.Change,
                      &c.OpenV, &c.High,  &c.Low, &c.Previous, &c.OInt, &c.Vol,  &c.TimeV};
    for (int i = 0; i < 14; ++i) *quote[i] = float(i * 1.25 - 3);
    c.Last = std::numeric_limits<float>::quiet_NaN();
    c.Flag = -2;
    c.nTicks = 32767;
    c.QuvantixServerDateTime = 38190.65;
    const QByteArray ours =
        SignalMessage("/QXDClientCLS/12", "org.freedesktop.DBus.Properties", "PropertiesChanged",
                      "sa{sv}as", PropertiesChangedBody("QXDataClient._QXDClientCLS", kind, c), 77);
    QCOMPARE(ours.toHex(), libraryPropertiesChanged(kind, c, 77).toHex());
}

void TestBusMessage::events() {
    Message bare(
        dbus_message_new_signal("/QXDClientCLS/3", "QXDataClient.__QXDClientCLS", "FeederReady"),
        &dbus_message_unref);
    QCOMPARE(
        SignalMessage("/QXDClientCLS/3", "QXDataClient.__QXDClientCLS", "FeederReady", {}, {}, 5)
            .toHex(),
        marshal(bare.get(), 5).toHex());

    Message args(
        dbus_message_new_signal("/QXDClientCLS/3", "QXDataClient.__QXDClientCLS", "EndDownload"),
        &dbus_message_unref);
    const char* sym = "VALE3";
    const double ty = -1;
    dbus_message_append_args(args.get(), DBUS_TYPE_STRING, &sym, DBUS_TYPE_DOUBLE, &ty,
                             DBUS_TYPE_INVALID);
    BusWriter w;
    w.string("VALE3");
    w.f64(-1);
    QCOMPARE(SignalMessage("/QXDClientCLS/3", "QXDataClient.__QXDClientCLS", "EndDownload", "sd",
                           w.bytes, 0x40000001)
                 .toHex(),
             marshal(args.get(), 0x40000001).toHex());
}

QTEST_APPLESS_MAIN(TestBusMessage)
#include "test_bus_message.moc"
