#include "support/fake_socket.h"
#include "wire/convert.h"
#include "wire/frame.h"
#include "wire/sender.h"

#include <QRandomGenerator>
#include <QTest>

using namespace qxd;

namespace {

QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}

// The real-time extractor as the protocol defines it, keeping everything it
// is given: the oracle for the bounded one.
struct ReferenceExtractor {
    QByteArray buf;
    QByteArray extract(QByteArray& s) {
        buf += s;
        const qsizetype p = buf.indexOf('`');
        if (p < 0) {
            buf.clear();
            s.clear();
            return {};
        }
        if (buf.size() < 3) {
            s.clear();
            return {};
        }
        const qsizetype t = buf.indexOf('~', p + 1);
        const qsizetype t1 = t < 0 ? 0 : t + 1; // counted from 1
        if (t1 < 3) {
            buf.remove(0, t1);
            s = t1 == 2 ? buf : QByteArray(); // after "`~" the rest goes on
            return {};
        }
        const QByteArray inner = buf.mid(p + 1, t - p - 1);
        buf = buf.mid(t + 1);
        s = buf;
        const int d = *ToInt32(Val(inner.left(1)));
        const auto len = ToInt16(Val(inner.mid(1, d)));
        if (!len || *len < 0) return {};
        if (inner.size() == *len + d + 1) return inner.right(*len);
        return {};
    }
};

// The receive loops' calling pattern over a sequence of chunks; collects
// every non-empty payload.
template <class Extractor>
QList<QByteArray> drain(Extractor& ex, const QList<QByteArray>& chunks) {
    QList<QByteArray> out;
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
QList<QList<QByteArray>> splits(const QByteArray& stream) {
    QList<QList<QByteArray>> all;
    for (qsizetype k = 0; k <= stream.size(); ++k) all.append({stream.left(k), stream.mid(k)});
    QList<QByteArray> bytes;
    for (char c : stream) bytes.append(QByteArray(1, c));
    all.append(bytes);
    return all;
}

} // namespace

class TestFrame : public QObject {
    Q_OBJECT
private slots:
    void converteToSend_data();
    void converteToSend();
    void trueTrim_data();
    void trueTrim();
    void realtimeCalls_data();
    void realtimeCalls();
    void realtimeSplitAnywhere_data();
    void realtimeSplitAnywhere();
    void realtimeMatchesReference();
    void realtimeBoundedMemory();
    void histCalls_data();
    void histCalls();
    void histSplitAnywhere_data();
    void histSplitAnywhere();
    void histResync_data();
    void histResync();
    void histBoundedMemory();
    void sendToServer();
};

void TestFrame::converteToSend_data() {
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("head");
    QTest::newRow("empty") << QByteArray() << QByteArray("`10");
    QTest::newRow("#N") << QByteArray("#N") << QByteArray("`12");
    QTest::newRow("9 bytes") << QByteArray(9, 'x') << QByteArray("`19");
    QTest::newRow("10 bytes") << QByteArray(10, 'x') << QByteArray("`210");
    QTest::newRow("12 bytes") << QByteArray(12, 'x') << QByteArray("`212");
    QTest::newRow("10000 bytes") << QByteArray(10000, 'x') << QByteArray("`510000");
    QTest::newRow("32767 bytes") << QByteArray(32767, 'x') << QByteArray("`532767");
}

void TestFrame::converteToSend() {
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, head);
    const QByteArray f = ConverteToSend(payload);
    QCOMPARE(f, head + payload + "~");
    // Both extractors give the payload back (real-time only without "~").
    FrameExtractor rt;
    HistFrameExtractor hist;
    QByteArray s = f;
    QCOMPARE(rt.ExtractFrame(s), payload);
    s = f;
    QCOMPARE(hist.ExtractFrameHist(s), payload);
    QVERIFY(s.isEmpty());
}

void TestFrame::trueTrim_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("blanks everywhere") << QByteArray(" a b ") << QByteArray("ab");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("tab stays") << QByteArray("a\tb") << QByteArray("a\tb");
    QTest::newRow("nul goes") << QByteArray("a\0b", 3) << QByteArray("ab");
    QTest::newRow("only blanks") << QByteArray(21, ' ') << QByteArray();
    QTest::newRow("high bytes stay") << QByteArray("\xC3\xA9 x") << QByteArray("\xC3\xA9x");
}

void TestFrame::trueTrim() {
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QCOMPARE(TrueTrim(in), out);
}

// Each row: chunks given to successive calls ("" = a call with nothing new),
// and for each call the payload and the S that come back.
void TestFrame::realtimeCalls_data() {
    QTest::addColumn<QList<QByteArray>>("in");
    QTest::addColumn<QList<QByteArray>>("payloads");
    QTest::addColumn<QList<QByteArray>>("rest");
    const QByteArray n = hex("6031322 34E7E"); // `12#N~
    QTest::newRow("exact frame") << QList<QByteArray>{n} << QList<QByteArray>{"#N"}
                                 << QList<QByteArray>{""};
    QTest::newRow("junk, frame, partial")
        << QList<QByteArray>{"xy" + n + hex("603133"), ""} << QList<QByteArray>{"#N", ""}
        << QList<QByteArray>{hex("603133"), ""};
    QTest::newRow("partial waits for its chunk")
        << QList<QByteArray>{"xy" + n + hex("603133"), "", "abc~"}
        << QList<QByteArray>{"#N", "", "abc"} << QList<QByteArray>{hex("603133"), "", ""};
    QTest::newRow("no opening mark: discarded")
        << QList<QByteArray>{"abc~", "`12ab~"} << QList<QByteArray>{"", "ab"}
        << QList<QByteArray>{"", ""};
    QTest::newRow("rest of a frame without its mark")
        << QList<QByteArray>{"`15ab", "cd~"} << QList<QByteArray>{"", ""}
        << QList<QByteArray>{"", ""};
    QTest::newRow("short frame consumed") << QList<QByteArray>{hex("6031332 34E7E") + "zz"}
                                          << QList<QByteArray>{""} << QList<QByteArray>{"zz"};
    QTest::newRow("two bytes wait") << QList<QByteArray>{hex("6031"), "2ab~"}
                                    << QList<QByteArray>{"", "ab"} << QList<QByteArray>{"", ""};
    QTest::newRow("mark then tilde")
        << QList<QByteArray>{"`~`12ab~"} << QList<QByteArray>{""} << QList<QByteArray>{"`12ab~"};
    QTest::newRow("mark then tilde, then the frame")
        << QList<QByteArray>{"`~`12ab~", ""} << QList<QByteArray>{"", "ab"}
        << QList<QByteArray>{"`12ab~", ""};
    QTest::newRow("junk before mark then tilde")
        << QList<QByteArray>{"x`~`12ab~"} << QList<QByteArray>{""} << QList<QByteArray>{"`12ab~"};
    QTest::newRow("tilde inside payload lost")
        << QList<QByteArray>{"`14a~b~"} << QList<QByteArray>{""} << QList<QByteArray>{"b~"};
    QTest::newRow("empty payload")
        << QList<QByteArray>{"`10~"} << QList<QByteArray>{""} << QList<QByteArray>{""};
    QTest::newRow("count 0") << QList<QByteArray>{"`0~x"} << QList<QByteArray>{""}
                             << QList<QByteArray>{"x"};
    QTest::newRow("leading zeros")
        << QList<QByteArray>{"`3002ab~"} << QList<QByteArray>{"ab"} << QList<QByteArray>{""};
    QTest::newRow("length above 32767")
        << QList<QByteArray>{"`532768" + QByteArray(32768, 'a') + "~"} << QList<QByteArray>{""}
        << QList<QByteArray>{""};
    QTest::newRow("negative length")
        << QList<QByteArray>{"`2-1~"} << QList<QByteArray>{""} << QList<QByteArray>{""};
    QTest::newRow("length 32767") << QList<QByteArray>{"`532767" + QByteArray(32767, 'a') + "~"}
                                  << QList<QByteArray>{QByteArray(32767, 'a')}
                                  << QList<QByteArray>{""};
    QTest::newRow("count not a digit")
        << QList<QByteArray>{"`x~"} << QList<QByteArray>{""} << QList<QByteArray>{""};
}

void TestFrame::realtimeCalls() {
    QFETCH(QList<QByteArray>, in);
    QFETCH(QList<QByteArray>, payloads);
    QFETCH(QList<QByteArray>, rest);
    FrameExtractor ex;
    for (int i = 0; i < in.size(); ++i) {
        QByteArray s = in[i];
        QCOMPARE(ex.ExtractFrame(s), payloads[i]);
        QCOMPARE(s, rest[i]);
    }
}

void TestFrame::realtimeSplitAnywhere_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("messages");
    const QByteArray trade = "$SYM," + QByteArray::fromHex("10A5130050");
    QTest::newRow("one") << ConverteToSend("#N") << QList<QByteArray>{"#N"};
    QTest::newRow("three and junk")
        << QByteArray("zz" + ConverteToSend("#USER?") + ConverteToSend(trade) + "q" +
                      ConverteToSend(QByteArray(300, 'x')))
        << QList<QByteArray>{"#USER?", trade, QByteArray(300, 'x')};
    QTest::newRow("bad frame between")
        << QByteArray(ConverteToSend("ab") + "`19abc~" + ConverteToSend("cd"))
        << QList<QByteArray>{"ab", "cd"};
}

void TestFrame::realtimeSplitAnywhere() {
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, messages);
    for (const auto& chunks : splits(stream)) {
        FrameExtractor ex;
        QCOMPARE(drain(ex, chunks), messages);
    }
}

// Random streams of frames, junk, stray marks and over-long runs, cut into
// random chunks: every call gives the same payload and leaves the same
// number of bytes as the extractor that keeps everything.
void TestFrame::realtimeMatchesReference() {
    QRandomGenerator rng(20261206);
    int discards = 0;
    for (int round = 0; round < 300; ++round) {
        QByteArray stream;
        while (stream.size() < 60000) {
            switch (rng.bounded(8)) {
            case 0:
                stream += "`";
                break;
            case 1:
                stream += "~";
                break;
            case 2:
                stream += QByteArray(rng.bounded(1, 40), 'j');
                break;
            case 3:
                stream += "`" + QByteArray(rng.bounded(32700, 40000), 'L');
                break;
            case 4:
                stream += "`" + QByteArray::number(rng.bounded(10)) + "12ab~";
                break;
            default: {
                QByteArray p(rng.bounded(0, 200), 0);
                for (auto& c : p) c = char(rng.bounded(256));
                p.replace('~', 'x');
                stream += ConverteToSend(p);
            }
            }
        }
        FrameExtractor ex;
        ReferenceExtractor ref;
        qsizetype pos = 0;
        while (pos < stream.size()) {
            const qsizetype len = rng.bounded(1, 5001);
            QByteArray chunk = stream.mid(pos, len);
            pos += len;
            QByteArray s = chunk;
            qsizetype left = 0;
            QByteArrayView in = chunk;
            do {
                const QByteArray mine = ex.extract(in, left).toByteArray();
                in = {};
                const QByteArray theirs = ref.extract(s);
                QCOMPARE(mine, theirs);
                QCOMPARE(left, s.size());
                s.clear(); // the calling pattern: the next call brings nothing new
                QVERIFY(ex.buffered().size() <= MaxFrame + 5000);
                discards += ex.discarding();
            } while (left > 0);
        }
    }
    QVERIFY(discards > 0);
}

void TestFrame::realtimeBoundedMemory() {
    // An opening mark and then megabytes without a closing mark.
    FrameExtractor ex;
    qsizetype left = 0;
    ex.extract("`5", left);
    const QByteArray junk(5000, 'x');
    for (int i = 0; i < 2000; ++i) {
        QVERIFY(ex.extract(junk, left).isEmpty());
        QCOMPARE(left, 0);
        QVERIFY(ex.buffered().size() <= MaxFrame + 5000);
    }
    QVERIFY(ex.discarding());
    // The closing mark ends the lost frame; what follows is read as usual.
    QList<QByteArray> out = drain(ex, {"xx~" + ConverteToSend("#L") + "`1"});
    QCOMPARE(out, QList<QByteArray>{"#L"});
    QVERIFY(!ex.discarding());
    QCOMPARE(ex.buffered(), QByteArrayView("`1"));
}

void TestFrame::histCalls_data() {
    QTest::addColumn<QList<QByteArray>>("in");
    QTest::addColumn<QList<QByteArray>>("payloads");
    QTest::addColumn<QList<QByteArray>>("rest");
    QTest::newRow("tilde inside payload")
        << QList<QByteArray>{hex("603134616 27E637E")} << QList<QByteArray>{hex("61627E63")}
        << QList<QByteArray>{""};
    QTest::newRow("incomplete waits whole")
        << QList<QByteArray>{hex("6031346162 7E"), hex("637E")}
        << QList<QByteArray>{"", hex("61627E63")} << QList<QByteArray>{"", ""};
    QTest::newRow("empty payload")
        << QList<QByteArray>{hex("6031307E")} << QList<QByteArray>{""} << QList<QByteArray>{""};
    QTest::newRow("three bytes wait")
        << QList<QByteArray>{"`0~", "x"} << QList<QByteArray>{"", ""} << QList<QByteArray>{"", "x"};
    QTest::newRow("two frames") << QList<QByteArray>{"`12ab~`12cd~", ""}
                                << QList<QByteArray>{"ab", "cd"} << QList<QByteArray>{"`12cd~", ""};
    QTest::newRow("no opening mark cleared")
        << QList<QByteArray>{"abcd~", "`12ab~"} << QList<QByteArray>{"", "ab"}
        << QList<QByteArray>{"", ""};
    QTest::newRow("byte 1 is read as the mark")
        << QList<QByteArray>{"X14ab~c~`"} << QList<QByteArray>{"ab~c"} << QList<QByteArray>{"`"};
}

void TestFrame::histCalls() {
    QFETCH(QList<QByteArray>, in);
    QFETCH(QList<QByteArray>, payloads);
    QFETCH(QList<QByteArray>, rest);
    HistFrameExtractor ex;
    for (int i = 0; i < in.size(); ++i) {
        QByteArray s = in[i];
        QCOMPARE(ex.ExtractFrameHist(s), payloads[i]);
        QCOMPARE(s, rest[i]);
    }
}

void TestFrame::histSplitAnywhere_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("messages");
    QByteArray zip(700, 0);
    for (int i = 0; i < zip.size(); ++i) zip[i] = char(i * 7);
    QTest::newRow("dialogue and raw chunk")
        << QByteArray(ConverteToSend("#USER?") + ConverteToSend("#BXYZ,1") +
                      ConverteToSend("*0,700," + zip) + ConverteToSend("#BXYZ,1"))
        << QList<QByteArray>{"#USER?", "#BXYZ,1", "*0,700," + zip, "#BXYZ,1"};
    QTest::newRow("junk in front resyncs")
        << QByteArray("junk" + ConverteToSend("#L") + ConverteToSend("#N"))
        << QList<QByteArray>{"#L", "#N"};
}

void TestFrame::histSplitAnywhere() {
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, messages);
    for (const auto& chunks : splits(stream)) {
        HistFrameExtractor ex;
        QCOMPARE(drain(ex, chunks), messages);
    }
}

// A front frame that can never complete is dropped up to the next opening
// mark; the frames behind it come out.
void TestFrame::histResync_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("messages");
    QTest::addColumn<QByteArray>("left");
    QTest::newRow("junk with a mark-less tail")
        << QByteArray("xx" + ConverteToSend("ab")) << QList<QByteArray>{"ab"} << QByteArray();
    QTest::newRow("wrong closing byte")
        << QByteArray("`12abX`12cd~") << QList<QByteArray>{"cd"} << QByteArray();
    QTest::newRow("length above 32767")
        << QByteArray("`540000`12cd~") << QList<QByteArray>{"cd"} << QByteArray();
    QTest::newRow("negative length")
        << QByteArray("`2-5`12cd~") << QList<QByteArray>{"cd"} << QByteArray();
    QTest::newRow("frame cut off by a broken connection")
        << QByteArray("`3100abc" + ConverteToSend("#USER?") + QByteArray(100, 'z'))
        << QList<QByteArray>{"#USER?"} << QByteArray();
    QTest::newRow("no further mark clears")
        << QByteArray("`12abXzzzz") << QList<QByteArray>{} << QByteArray();
    QTest::newRow("incomplete frame waits")
        << QByteArray("`15ab") << QList<QByteArray>{} << QByteArray("`15ab");
}

void TestFrame::histResync() {
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, messages);
    QFETCH(QByteArray, left);
    HistFrameExtractor ex;
    QCOMPARE(drain(ex, {stream}), messages);
    QCOMPARE(ex.buffered().toByteArray(), left);
}

void TestFrame::histBoundedMemory() {
    HistFrameExtractor ex;
    qsizetype left = 0;
    // A declared length that never meets its closing mark, then junk with
    // opening marks sprinkled in.
    ex.extract("`532000", left);
    QByteArray junk(5000, 'x');
    junk[100] = '`';
    for (int i = 0; i < 1000; ++i) {
        drain(ex, {junk});
        QVERIFY(ex.buffered().size() <= MaxFrame + junk.size());
    }
    QCOMPARE(drain(ex, {"~" + ConverteToSend("#L")}), QList<QByteArray>{"#L"});
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

    // Shut while logging off: nothing written, IsSending untouched.
    sender.LogoffFlag = 1;
    QVERIFY(!sender.SendToServer("#N"));
    QCOMPARE(sock.sent.size(), 1);
    QCOMPARE(sender.IsSending, 0);
    sender.LogoffFlag = 0;

    // A refused write reaches the caller and IsSending is lowered.
    sock.state = SocketComponent::Closed;
    const SocketFailure f = sender.SendToServer("#N");
    QVERIFY(f.number != 0);
    QCOMPARE(sender.IsSending, 0);

    // Too long for a frame: refused, nothing written.
    sock.state = SocketComponent::Open;
    const SocketFailure big = sender.SendToServer(QByteArray(MaxPayload + 1, 'a'));
    QVERIFY(big.number != 0);
    QVERIFY(big.description.contains("32767"));
    QCOMPARE(sock.sent.size(), 1);
    QVERIFY(!sender.SendToServer(QByteArray(MaxPayload, 'a')));
    QCOMPARE(sock.sent.size(), 2);
}

QTEST_APPLESS_MAIN(TestFrame)
#include "test_frame.moc"
