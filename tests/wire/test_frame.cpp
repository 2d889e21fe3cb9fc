#include "support/fake_socket.h"
#include "wire/frame.h"
#include "wire/sender.h"

#include <QTest>

using namespace qxd;

namespace {

using Chunks = QList<QByteArray>;

// The receive loops' calling pattern over a sequence of chunks; collects
// every non-empty payload.
template <class Extractor>
Chunks drain(Extractor& ex, const Chunks& chunks) {
    Chunks out;
    for (const QByteArray& c : chunks) {
        qsizetype left = 0;
        QByteArrayView in = c;
        do {
            const QByteArrayView m = ex.extract(in, left);
            if (!m.isEmpty()) out.append(m.toByteArray());
            in = {};
        } while (left > 0);
    }
    return out;
}

// Every way to cut `stream` in two, and byte by byte.
QList<Chunks> splits(const QByteArray& stream) {
    QList<Chunks> all;
    for (qsizetype k = 0; k <= stream.size(); ++k) all.append({stream.left(k), stream.mid(k)});
    Chunks bytes;
    for (char c : stream) bytes.append(QByteArray(1, c));
    all.append(bytes);
    return all;
}

// One call per chunk of the in/out form; each row lists, per call, the
// chunk, the payload and the S that comes back.
template <class Extractor, class Call>
void calls(const Chunks& in, const Chunks& payloads, const Chunks& rest, Call call) {
    Extractor ex;
    for (int i = 0; i < in.size(); ++i) {
        QByteArray s = in[i];
        QCOMPARE((ex.*call)(s), payloads[i]);
        QCOMPARE(s, rest[i]);
    }
}

void callColumns() {
    QTest::addColumn<Chunks>("in");
    QTest::addColumn<Chunks>("payloads");
    QTest::addColumn<Chunks>("rest");
}

} // namespace

class TestFrame : public QObject {
    Q_OBJECT
private slots:
    void framing_data();
    void framing();
    void trueTrim();
    void realtimeCalls_data();
    void realtimeCalls();
    void splitAnywhere_data();
    void splitAnywhere();
    void histCalls_data();
    void histCalls();
    void histResync_data();
    void histResync();
    void boundedMemory();
    void sendToServer();
};

void TestFrame::framing_data() {
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("head");
    QTest::newRow("empty") << QByteArray() << QByteArray("`10");
    QTest::newRow("9 bytes") << QByteArray(9, 'x') << QByteArray("`19");
    QTest::newRow("10 bytes") << QByteArray(10, 'x') << QByteArray("`210");
    QTest::newRow("32767 bytes") << QByteArray(32767, 'x') << QByteArray("`532767");
}

// A frame gives its payload back through both extractors.
void TestFrame::framing() {
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, head);
    const QByteArray f = ConverteToSend(payload);
    QCOMPARE(f, head + payload + "~");
    FrameExtractor rt;
    HistFrameExtractor hist;
    QByteArray s = f;
    QCOMPARE(rt.ExtractFrame(s), payload);
    s = f;
    QCOMPARE(hist.ExtractFrameHist(s), payload);
    QVERIFY(s.isEmpty());
}

void TestFrame::trueTrim() {
    QCOMPARE(TrueTrim(" a b "), QByteArray("ab"));
    QCOMPARE(TrueTrim(QByteArray("a\0\tb\xC3\xA9 ", 7)), QByteArray("a\tb\xC3\xA9"));
    QCOMPARE(TrueTrim(QByteArray(21, ' ')), QByteArray());
}

void TestFrame::realtimeCalls_data() {
    callColumns();
    const QByteArray n = "`12#N~";
    QTest::newRow("junk, frame, partial; the partial waits for its chunk")
        << Chunks{"xy" + n + "`13", "", "abc~"} << Chunks{"#N", "", "abc"} << Chunks{"`13", "", ""};
    QTest::newRow("no opening mark: discarded")
        << Chunks{"abc~", "`12ab~"} << Chunks{"", "ab"} << Chunks{"", ""};
    QTest::newRow("rest of a frame without its mark")
        << Chunks{"`15ab", "cd~"} << Chunks{"", ""} << Chunks{"", ""};
    QTest::newRow("short frame consumed") << Chunks{"`13#N~zz"} << Chunks{""} << Chunks{"zz"};
    QTest::newRow("two bytes wait") << Chunks{"`1", "2ab~"} << Chunks{"", "ab"} << Chunks{"", ""};
    QTest::newRow("mark then tilde, then the frame")
        << Chunks{"x`~`12ab~", ""} << Chunks{"", "ab"} << Chunks{"`12ab~", ""};
    QTest::newRow("tilde inside payload lost") << Chunks{"`14a~b~"} << Chunks{""} << Chunks{"b~"};
    QTest::newRow("count 0") << Chunks{"`0~x"} << Chunks{""} << Chunks{"x"};
    QTest::newRow("leading zeros") << Chunks{"`3002ab~"} << Chunks{"ab"} << Chunks{""};
    QTest::newRow("length above 32767")
        << Chunks{"`532768" + QByteArray(32768, 'a') + "~"} << Chunks{""} << Chunks{""};
    QTest::newRow("negative length") << Chunks{"`2-1~"} << Chunks{""} << Chunks{""};
    QTest::newRow("count not a digit") << Chunks{"`x~"} << Chunks{""} << Chunks{""};
}

void TestFrame::realtimeCalls() {
    QFETCH(Chunks, in);
    QFETCH(Chunks, payloads);
    QFETCH(Chunks, rest);
    calls<FrameExtractor>(in, payloads, rest, &FrameExtractor::ExtractFrame);
}

void TestFrame::splitAnywhere_data() {
    QTest::addColumn<bool>("historic");
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<Chunks>("messages");
    const QByteArray trade = "$SYM," + QByteArray::fromHex("10A5130050");
    QTest::newRow("real-time: frames and junk")
        << false
        << QByteArray("zz" + ConverteToSend("#USER?") + ConverteToSend(trade) + "q" +
                      ConverteToSend(QByteArray(300, 'x')))
        << Chunks{"#USER?", trade, QByteArray(300, 'x')};
    QTest::newRow("real-time: bad frame between")
        << false << QByteArray(ConverteToSend("ab") + "`19abc~" + ConverteToSend("cd"))
        << Chunks{"ab", "cd"};
    QTest::newRow("real-time: mark-tilde pairs")
        << false << QByteArray("`~`~" + ConverteToSend("ab") + "`~") << Chunks{"ab"};
    QByteArray zip(700, 0);
    for (int i = 0; i < zip.size(); ++i) zip[i] = char(i * 7);
    QTest::newRow("historic: dialogue and raw chunk")
        << true
        << QByteArray(ConverteToSend("#USER?") + ConverteToSend("*0,700," + zip) +
                      ConverteToSend("#BXYZ,1"))
        << Chunks{"#USER?", "*0,700," + zip, "#BXYZ,1"};
    QTest::newRow("historic: junk in front resyncs")
        << true << QByteArray("junk" + ConverteToSend("#L") + ConverteToSend("#N"))
        << Chunks{"#L", "#N"};
}

void TestFrame::splitAnywhere() {
    QFETCH(bool, historic);
    QFETCH(QByteArray, stream);
    QFETCH(Chunks, messages);
    for (const auto& chunks : splits(stream)) {
        FrameExtractor rt;
        HistFrameExtractor hist;
        QCOMPARE(historic ? drain(hist, chunks) : drain(rt, chunks), messages);
    }
}

void TestFrame::histCalls_data() {
    callColumns();
    QTest::newRow("tilde inside payload; incomplete waits whole")
        << Chunks{"`14ab~", "c~"} << Chunks{"", "ab~c"} << Chunks{"", ""};
    QTest::newRow("three bytes wait") << Chunks{"`0~", "x"} << Chunks{"", ""} << Chunks{"", "x"};
    QTest::newRow("two frames") << Chunks{"`12ab~`12cd~", ""} << Chunks{"ab", "cd"}
                                << Chunks{"`12cd~", ""};
    QTest::newRow("byte 1 is read as the mark")
        << Chunks{"X14ab~c~`"} << Chunks{"ab~c"} << Chunks{"`"};
}

void TestFrame::histCalls() {
    QFETCH(Chunks, in);
    QFETCH(Chunks, payloads);
    QFETCH(Chunks, rest);
    calls<HistFrameExtractor>(in, payloads, rest, &HistFrameExtractor::ExtractFrameHist);
}

// A front frame that can never complete is dropped up to the next opening
// mark; the frames behind it come out.
void TestFrame::histResync_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<Chunks>("messages");
    QTest::addColumn<QByteArray>("left");
    QTest::newRow("wrong closing byte")
        << QByteArray("`12abX`12cd~") << Chunks{"cd"} << QByteArray();
    QTest::newRow("length above 32767")
        << QByteArray("`540000`12cd~") << Chunks{"cd"} << QByteArray();
    QTest::newRow("negative length") << QByteArray("`2-5`12cd~") << Chunks{"cd"} << QByteArray();
    QTest::newRow("frame cut off by a broken connection")
        << QByteArray("`3100abc" + ConverteToSend("#USER?") + QByteArray(100, 'z'))
        << Chunks{"#USER?"} << QByteArray();
    QTest::newRow("no further mark clears") << QByteArray("`12abXzzzz") << Chunks{} << QByteArray();
    QTest::newRow("incomplete frame waits")
        << QByteArray("`15ab") << Chunks{} << QByteArray("`15ab");
}

void TestFrame::histResync() {
    QFETCH(QByteArray, stream);
    QFETCH(Chunks, messages);
    QFETCH(QByteArray, left);
    HistFrameExtractor ex;
    QCOMPARE(drain(ex, {stream}), messages);
    QCOMPARE(ex.buffered().toByteArray(), left);
}

// An opening mark and then megabytes that never close a valid frame: both
// buffers stay within one frame beyond the chunk, and the next frame after
// the closing mark is read as usual.
void TestFrame::boundedMemory() {
    FrameExtractor rt;
    HistFrameExtractor hist;
    qsizetype left = 0;
    rt.extract("`5", left);
    hist.extract(QByteArray("`532000"), left);
    QByteArray junk(5000, 'x');
    for (int i = 0; i < 2000; ++i) {
        QCOMPARE(drain(rt, {junk}), Chunks{});
        QVERIFY(rt.buffered().size() <= MaxFrame + junk.size());
        junk[100] = '`'; // the historic resync hunts for marks
        drain(hist, {junk});
        QVERIFY(hist.buffered().size() <= MaxFrame + junk.size());
        junk[100] = 'x';
    }
    QVERIFY(rt.discarding());
    QCOMPARE(drain(rt, {"xx~" + ConverteToSend("#L") + "`1"}), Chunks{"#L"});
    QVERIFY(!rt.discarding());
    QCOMPARE(rt.buffered(), QByteArrayView("`1"));
    QCOMPARE(drain(hist, {"~" + ConverteToSend("#L")}), Chunks{"#L"});
}

void TestFrame::sendToServer() {
    FakeSocket sock;
    FeedSender sender(sock);
    sock.state = SocketComponent::Open;
    QList<int> seen; // IsSending while the socket writes
    sock.onSend = [&](QByteArrayView) { seen.append(sender.IsSending); };

    QVERIFY(!sender.SendToServer("#AXYZ"));
    QCOMPARE(sock.sent, QList<QByteArray>{ConverteToSend("#AXYZ")});
    QCOMPARE(seen, QList<int>{1});
    QCOMPARE(sender.IsSending, 0);

    // Shut while logging off: nothing written.
    sender.LogoffFlag = 1;
    QVERIFY(!sender.SendToServer("#N"));
    QCOMPARE(sock.sent.size(), 1);
    sender.LogoffFlag = 0;

    // A refused write reaches the caller and IsSending is lowered.
    sock.state = SocketComponent::Closed;
    QVERIFY(sender.SendToServer("#N").number != 0);
    QCOMPARE(sender.IsSending, 0);

    // Too long for a frame: refused, nothing written.
    sock.state = SocketComponent::Open;
    const SocketFailure big = sender.SendToServer(QByteArray(MaxPayload + 1, 'a'));
    QVERIFY(big.description.contains("32767"));
    QCOMPARE(sock.sent.size(), 1);
}

QTEST_APPLESS_MAIN(TestFrame)
#include "test_frame.moc"
