#include "support/fake_socket.h"
#include "wire/frame.h"
#include "wire/sender.h"

#include <QTest>

using namespace qxd;

namespace {

using Chunks = QList<QByteArray>;

// The receive loops' calling pattern over a sequence of chunks, followed by
// empty arrivals until the buffer stops changing (a loop may stop with
// frames still waiting); collects every non-empty payload.
template <class Extractor>
Chunks drain(Extractor& ex, Chunks chunks) {
    Chunks out;
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        const qsizetype before = ex.buffered().size() + chunks[i].size();
        qsizetype left = 0;
        QByteArrayView in = chunks[i];
        do {
            const QByteArrayView m = ex.extract(in, left);
            if (!m.isEmpty()) out.append(m.toByteArray());
            in = {};
        } while (left > 0);
        const qsizetype after = ex.buffered().size();
        if (i + 1 == chunks.size() && after > 0 && after < before) chunks.append(QByteArray());
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

} // namespace

class TestFrame : public QObject {
    Q_OBJECT
private slots:
    void realtimeCalls_data();
    void realtimeCalls();
    void splitAnywhere_data();
    void splitAnywhere();
    void histResync_data();
    void histResync();
    void boundedMemory();
    void sendToServer();
};

// One call per chunk; each row lists, per call, the chunk, the payload and
// what is reported left in the buffer.
void TestFrame::realtimeCalls_data() {
    QTest::addColumn<Chunks>("in");
    QTest::addColumn<Chunks>("payloads");
    QTest::addColumn<Chunks>("rest");
    const QByteArray n = "`12#N~";
    QTest::newRow("junk, frame, partial; the partial waits for its chunk")
        << Chunks{"xy" + n + "`13", "", "abc~"} << Chunks{"#N", "", "abc"} << Chunks{"`13", "", ""};
    QTest::newRow("no opening mark: discarded")
        << Chunks{"abc~", "`12ab~"} << Chunks{"", "ab"} << Chunks{"", ""};
    QTest::newRow("rest of a frame without its mark")
        << Chunks{"`15ab", "cd~"} << Chunks{"", ""} << Chunks{"", ""};
    QTest::newRow("mark then tilde, then the frame")
        << Chunks{"x`~`12ab~", ""} << Chunks{"", "ab"} << Chunks{"`12ab~", ""};
    QTest::newRow("leading mark-tilde: removed, the loop stops")
        << Chunks{"`~`12ab~", "", "`~~", ""} << Chunks{"", "ab", "", ""} << Chunks{"", "", "", ""};
    QTest::newRow("mark-tilde after the three first bytes is a frame")
        << Chunks{"`1`~`12ab~"} << Chunks{""} << Chunks{"`12ab~"};
    QTest::newRow("tilde inside payload lost") << Chunks{"`14a~b~"} << Chunks{""} << Chunks{"b~"};
    QTest::newRow("leading zeros") << Chunks{"`3002ab~"} << Chunks{"ab"} << Chunks{""};
    QTest::newRow("length above 32767")
        << Chunks{"`532768" + QByteArray(32768, 'a') + "~"} << Chunks{""} << Chunks{""};
}

void TestFrame::realtimeCalls() {
    QFETCH(Chunks, in);
    QFETCH(Chunks, payloads);
    QFETCH(Chunks, rest);
    FrameExtractor ex;
    for (int i = 0; i < in.size(); ++i) {
        qsizetype left = 0;
        QCOMPARE(ex.extract(in[i], left).toByteArray(), payloads[i]);
        QCOMPARE(left > 0 ? ex.buffered().toByteArray() : QByteArray(), rest[i]);
    }
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
    QTest::newRow("real-time: heads of one and two digits")
        << false << QByteArray("`19" + QByteArray(9, 'x') + "~`210" + QByteArray(10, 'y') + "~")
        << Chunks{QByteArray(9, 'x'), QByteArray(10, 'y')};
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
    QTest::newRow("frame cut off by a broken connection")
        << QByteArray("`3100abc" + ConverteToSend("#USER?") + QByteArray(100, 'z'))
        << Chunks{"#USER?"} << QByteArray();
    QTest::newRow("tilde inside the payload")
        << QByteArray("`14ab~c~") << Chunks{"ab~c"} << QByteArray();
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

    // Arrivals that each start with a mark-tilde pair stop the loop after
    // two bytes; the rest never piles up beyond one frame.
    FrameExtractor pairs;
    const QByteArray pairChunk = QByteArray("`~").repeated(2500);
    for (int i = 0; i < 100; ++i) {
        qsizetype n = 0;
        QByteArrayView in = pairChunk;
        do {
            pairs.extract(std::exchange(in, {}), n);
        } while (n > 0);
        QVERIFY(pairs.buffered().size() <= MaxFrame + pairChunk.size());
    }
}

// `writing` is raised only while the socket writes; nothing goes out while
// logging off or when the message cannot fit a frame.
void TestFrame::sendToServer() {
    FakeSocket sock;
    FeedSender sender(sock);
    sock.state = SocketComponent::Open;
    QList<int> seen;
    sock.onSend = [&](QByteArrayView) { seen.append(sender.writing); };
    QVERIFY(!sender.SendToServer("#AXYZ"));
    sender.shut = 1;
    QVERIFY(!sender.SendToServer("#N"));
    sender.shut = 0;
    QVERIFY(sender.SendToServer(QByteArray(MaxPayload + 1, 'a')).description.contains("32767"));
    sock.state = SocketComponent::Closed;
    QVERIFY(sender.SendToServer("#N").number != 0);
    QCOMPARE(sock.sent, QList<QByteArray>{ConverteToSend("#AXYZ")});
    QCOMPARE(seen, (QList<int>{1, 1})); // the refused write too
    QCOMPARE(sender.writing, 0);
}

QTEST_APPLESS_MAIN(TestFrame)
#include "test_frame.moc"
