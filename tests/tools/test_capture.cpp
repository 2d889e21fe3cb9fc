// qxd-wire's capture reader over pcap files written here from a scripted
// session: both directions come out as sent, whatever the segments did.
#include "sim/sim.h"
#include "wire/capture.h"
#include "wire/frame.h"
#include "wire/pack.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <pcap/pcap.h>

using namespace qxd;
using namespace qxd::wire;

namespace {

// One TCP segment in an Ethernet frame, IPv4, between 10.0.0.1:50000 (the
// client) and 10.0.0.2:1400.
QByteArray frame(bool fromServer, quint32 seq, const QByteArray& data, bool syn = false) {
    QByteArray f(14 + 20 + 20, 0);
    qToBigEndian<quint16>(0x0800, f.data() + 12);
    char* ip = f.data() + 14;
    ip[0] = 0x45;
    qToBigEndian<quint16>(quint16(40 + data.size()), ip + 2);
    ip[8] = 64;
    ip[9] = 6;
    const char client[] = {10, 0, 0, 1}, server[] = {10, 0, 0, 2};
    memcpy(ip + 12, fromServer ? server : client, 4);
    memcpy(ip + 16, fromServer ? client : server, 4);
    char* tcp = ip + 20;
    qToBigEndian<quint16>(fromServer ? 1400 : 50000, tcp);
    qToBigEndian<quint16>(fromServer ? 50000 : 1400, tcp + 2);
    qToBigEndian<quint32>(seq, tcp + 4);
    tcp[12] = 0x50;
    tcp[13] = syn ? 0x02 : 0x18;
    qToBigEndian<quint16>(65535, tcp + 14); // the window
    return f + data;
}

struct Packet {
    bool fromServer;
    quint32 seq;
    QByteArray data;
    long usec = 0; // capture time after the first packet; 0: a millisecond after the last
};

void writeCapture(const QString& path, const QList<Packet>& packets) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* out = pcap_dump_open(dead, path.toLocal8Bit().constData());
    QVERIFY(out);
    long usec = 0;
    for (const Packet& p : packets) {
        const QByteArray f = frame(p.fromServer, p.seq, p.data, p.data.isEmpty());
        pcap_pkthdr h{};
        usec = p.usec ? p.usec : usec + 1000;
        h.ts = {1700000000 + usec / 1000000, usec % 1000000};
        h.caplen = h.len = bpf_u_int32(f.size());
        pcap_dump(reinterpret_cast<u_char*>(out), &h, reinterpret_cast<const u_char*>(f.data()));
    }
    pcap_dump_close(out);
    pcap_close(dead);
}

const QList<QByteArray> ServerSays{"#USER?", "#PASS?", "#TIPO?", "#L", "$PETR4,10.5,100,-0.25,1500,3",
                                   "{VALE3,1,2,3,4,5,6,7,8,9,10,11,12,13", "}200407221530"};
const QList<QByteArray> ClientSays{"!trader", "^pw", "&1", "#T", "#APETR4"};

} // namespace

class TestCapture : public QObject {
    Q_OBJECT
private slots:
    void reassembly_data();
    void reassembly();
    void replayAtItsPace();
    void dissector();
};

// Each row cuts the server's bytes into 7-byte segments and sends them
// another way; the messages must come out whole and in order.
void TestCapture::reassembly_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("gaps");
    QTest::newRow("in order") << "order" << 0;
    QTest::newRow("a segment sent twice") << "twice" << 0;
    QTest::newRow("two segments swapped") << "swapped" << 0;
    QTest::newRow("a retransmission that overlaps the next") << "overlap" << 0;
    QTest::newRow("a segment the capture missed") << "missed" << 1;
}

void TestCapture::reassembly() {
    QFETCH(QString, how);
    QFETCH(int, gaps);
    QByteArray server, client;
    for (const QByteArray& m : ServerSays) server += ConverteToSend(Compress(m));
    for (const QByteArray& m : ClientSays) client += ConverteToSend(m);
    const quint32 serverIsn = 0xfffffff0, clientIsn = 1000; // the server's numbers wrap
    QList<Packet> packets{{false, clientIsn, {}}, {true, serverIsn, {}},
                          {false, clientIsn + 1, client}};
    QList<Packet> segments;
    for (qsizetype at = 0; at < server.size(); at += 7)
        segments.append({true, quint32(serverIsn + 1 + at), server.mid(at, 7)});
    const int k = 5; // the segment each row plays with
    if (how == "twice") segments.insert(k + 1, segments[k]);
    if (how == "swapped") segments.swapItemsAt(k, k + 1);
    if (how == "overlap") segments.insert(k + 2, {true, segments[k].seq, server.mid(7 * k, 12)});
    if (how == "missed") segments.removeAt(k);
    packets += segments;
    QTemporaryDir dir;
    const QString path = dir.path() + "/session.pcap";
    writeCapture(path, packets);

    QList<CaptureMessage> messages;
    QString err;
    QVERIFY2(ReadCapture(path, {}, &messages, &err), qPrintable(err));
    QList<QByteArray> fromClient, fromServer;
    int gapsSeen = 0;
    for (const CaptureMessage& m : messages) {
        QCOMPARE(m.connection, 1);
        QCOMPARE(m.endpoints, QByteArray("10.0.0.1:50000 > 10.0.0.2:1400"));
        gapsSeen += m.gap;
        if (m.message.ok) (m.fromServer ? fromServer : fromClient).append(m.message.text);
    }
    QCOMPARE(fromClient, ClientSays);
    QCOMPARE(gapsSeen, gaps);
    if (gaps == 0) QCOMPARE(fromServer, ServerSays);
    else // the frames the missing bytes cut are lost, not guessed
        QVERIFY(fromServer.size() < ServerSays.size() && fromServer.last() == ServerSays.last());
}

// A captured session played back: the subscribed symbol's quotes reach the
// client in order, none before its time.
void TestCapture::replayAtItsPace() {
    QList<Packet> packets{{false, 1, {}}, {true, 100, {}}};
    quint32 seq = 101;
    long usec = 100000;
    QList<QByteArray> ofA;
    for (int i = 0; i < 7; ++i) { // a time, then trades of A and B 100 ms apart
        const QByteArray m = i == 0 ? "}200407221530"
                                    : (i % 2 ? "$A," : "$B,") + QByteArray::number(10 + i) +
                                          ",100,0,100,1";
        if (m.startsWith("$A")) ofA.append(m);
        const QByteArray bytes = ConverteToSend(Compress(m));
        packets.append({true, seq, bytes, usec += 100000});
        seq += quint32(bytes.size());
    }
    QTemporaryDir dir;
    writeCapture(dir.path() + "/feed.pcap", packets);
    sim::Options o;
    QString err;
    QVERIFY2(sim::LoadReplay(dir.path() + "/feed.pcap", 1400, &o, &err), qPrintable(err));
    o.feedPort = 0;
    o.verbose = false;
    o.rate = 0;
    sim::FeedSim server(o);
    QVERIFY(server.listen(&err));

    QTcpSocket client;
    FrameExtractor ex;
    QElapsedTimer sinceLogon;
    QList<QByteArray> quotes;
    connect(&client, &QTcpSocket::readyRead, [&] {
        qsizetype left = 0;
        const QByteArray data = client.readAll();
        QByteArrayView in = data;
        do {
            const QByteArray m = DeCompress(ex.extract(std::exchange(in, {}), left));
            const QHash<QByteArray, QByteArray> answers{
                {"#USER?", "!demo"}, {"#PASS?", "^demo"}, {"#TIPO?", "&1"}, {"#L", "#AA"}};
            if (answers.contains(m)) client.write(ConverteToSend(answers.value(m)));
            if (m == "#L") sinceLogon.start();
            if (m.startsWith('$')) quotes.append(m);
        } while (left > 0);
    });
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QTRY_COMPARE(quotes.size(), ofA.size());
    QCOMPARE(quotes, ofA);
    // The last one was 500 ms after the capture's first message.
    QVERIFY2(sinceLogon.elapsed() >= 400, qPrintable(QString::number(sinceLogon.elapsed())));
}

// The Wireshark dissector on a capture of the session with a malformed
// frame among the server's: each message with its kind, a trade's fields by
// name, the malformed frame as expert info.
void TestCapture::dissector() {
    const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    if (tshark.isEmpty()) QSKIP("no tshark here");
    QByteArray server;
    for (const QByteArray& m : ServerSays) server += ConverteToSend(Compress(m)) + (m == "#L" ? "`19abc~" : "");
    QTemporaryDir dir;
    writeCapture(dir.path() + "/session.pcap",
                 {{false, 1, {}}, {true, 100, {}}, {true, 101, server}});
    QProcess p;
    p.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    p.start(tshark, {"-X", "lua_script:" QXD_DISSECTOR, "-r", dir.path() + "/session.pcap", "-Y",
                     "qxd", "-T",
                     "fields", "-e", "qxd.kind", "-e", "qxd.symbol", "-e", "qxd.volume", "-e",
                     "_ws.expert.message"});
    QVERIFY(p.waitForFinished(60000));
    const QByteArray out = p.readAllStandardOutput();
    QCOMPARE(out, QByteArray("control,control,control,control,trade,complete quote,time\t"
                             "PETR4,VALE3\t1500,6\tMalformed frame\n"));
}

QTEST_GUILESS_MAIN(TestCapture)
#include "test_capture.moc"
