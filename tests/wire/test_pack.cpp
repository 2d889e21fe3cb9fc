#include "wire/frame.h"
#include "wire/pack.h"

#include <QTest>

using namespace qxd;

class TestPack : public QObject {
    Q_OBJECT
private slots:
    void decompress_data();
    void decompress();
    void compress_data();
    void compress();
    void everyByteValue();
    void roundTripEverySymbolPair();
};

void TestPack::decompress_data() {
    QTest::addColumn<QByteArray>("packed");
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("worked example")
        << QByteArray::fromHex("372CA0C25D1E3F") << QByteArray("7,-0.25,1E3");
    QTest::newRow("FF") << QByteArray(",\xFF") << QByteArray(",");
    QTest::newRow("AB") << QByteArray(",\xAB") << QByteArray(",-+");
    QTest::newRow("2C in body is data") << QByteArray(",\x2C\x2C") << QByteArray(",2.2.");
    QTest::newRow("pads inside a long body")
        << QByteArray(",\x01\x23\x45\x67\x8F\xF9\x01\x23\x45\x67\x3F")
        << QByteArray(",0123456789012345673");
    QTest::newRow("head kept byte for byte")
        << QByteArray("\x01\xFF~,\x12") << QByteArray("\x01\xFF~,12");
}

void TestPack::decompress() {
    QFETCH(QByteArray, packed);
    QFETCH(QByteArray, plain);
    QCOMPARE(DeCompress(packed), plain);
    QByteArray reused("previous contents that must go");
    DeCompress(packed, reused);
    QCOMPARE(reused, plain);
}

void TestPack::compress_data() {
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("packed");
    QTest::newRow("worked example")
        << QByteArray("7,-0.25,1E3") << QByteArray::fromHex("372CA0C25D1E3F");
    QTest::newRow("drops others") << QByteArray(",1a2") << QByteArray(",\x12");
    QTest::newRow("odd: filler") << QByteArray(",123") << QByteArray(",\x12\x3F");
    QTest::newRow("7 then E is a closing mark") << QByteArray(",7E") << QByteArray(",\x7E");
}

void TestPack::compress() {
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, packed);
    QCOMPARE(Compress(plain), packed);
}

// Every byte value unpacks to zero, one or two symbols, and what it unpacks
// to packs back to the same byte whenever the byte could have been written.
void TestPack::everyByteValue() {
    for (int b = 0; b < 256; ++b) {
        const QByteArray packed = QByteArray("S,") + char(b);
        const QByteArray plain = DeCompress(packed);
        const int hi = b >> 4, lo = b & 15;
        QCOMPARE(plain.size(), 2 + (hi < 15) + (lo < 15));
        if (hi < 15) QCOMPARE(Compress(plain), packed);
    }
}

// Round trip over every pair of symbols in every position of a short body
// and at the end of a long one.
void TestPack::roundTripEverySymbolPair() {
    const QByteArray alphabet(PackAlphabet);
    for (char a : alphabet)
        for (char b : alphabet) {
            for (const QByteArray& body :
                 {QByteArray() + a + b, QByteArray(1, a), QByteArray("1") + a + b,
                  QByteArray("12345678901234567890123") + a + b}) {
                const QByteArray plain = "SYM," + body;
                QCOMPARE(DeCompress(Compress(plain)), plain);
                // Packed body bytes never reach 0xF0.
                const QByteArray packed = Compress(plain);
                for (qsizetype i = 4; i < packed.size(); ++i) QVERIFY(uchar(packed[i]) < 0xF0);
            }
        }
}

QTEST_APPLESS_MAIN(TestPack)
#include "test_pack.moc"
