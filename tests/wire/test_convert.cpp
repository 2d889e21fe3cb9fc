#include "wire/convert.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace qxd;

class TestConvert : public QObject {
    Q_OBJECT
private slots:
    void val_data();
    void val();
    void rounding_data();
    void rounding();
    void dateSerial_data();
    void dateSerial();
    void serialRoundTrip();
    void serialToDate_data();
    void serialToDate();
};

void TestConvert::val_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<double>("expected");
    constexpr double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("empty") << QByteArray() << 0.0;
    QTest::newRow("blanks anywhere") << QByteArray(" 1 2\t3\n4") << 1234.0;
    QTest::newRow("carriage return stops") << QByteArray("12\r3") << 12.0;
    QTest::newRow("sign then blank") << QByteArray("- 5") << -5.0;
    QTest::newRow("second point stops") << QByteArray("1.2.3") << 1.2;
    QTest::newRow("exponent with blanks") << QByteArray("1 E + 2") << 100.0;
    QTest::newRow("exponent d negative") << QByteArray("25d-1") << 2.5;
    QTest::newRow("dangling exponent sign") << QByteArray("3E-x") << 3.0;
    QTest::newRow("hex stops") << QByteArray("&H1G") << 1.0;
    QTest::newRow("octal stops at 8") << QByteArray("&O78") << 7.0;
    QTest::newRow("ampersand other") << QByteArray("&X1") << 0.0;
    QTest::newRow("nul stops") << QByteArray("4\0"
                                             "5",
                                             3)
                               << 4.0;
    QTest::newRow("hex prefix of C is no number") << QByteArray("0x10") << 0.0;
    QTest::newRow("overflow") << QByteArray("-1E400") << -inf;
    QTest::newRow("underflow") << QByteArray("1E-400") << 0.0;
    QTest::newRow("long run of digits") << QByteArray(400, '0') + "12" << 12.0;
}

void TestConvert::val() {
    QFETCH(QByteArray, text);
    QFETCH(double, expected);
    QCOMPARE(Val(text), expected);
}

// Half to even; out of range has no value (clamped storing saturates).
void TestConvert::rounding_data() {
    QTest::addColumn<double>("in");
    QTest::addColumn<int>("i16"); // -99999: no value
    QTest::addColumn<qint64>("i32");
    QTest::addColumn<int>("clamped");
    const qint64 none = -99999;
    QTest::newRow("2.5") << 2.5 << 2 << qint64(2) << 2;
    QTest::newRow("-3.5") << -3.5 << -4 << qint64(-4) << -4;
    QTest::newRow("over16 by rounding") << 32767.5 << -99999 << qint64(32768) << 32767;
    QTest::newRow("min16") << -32768.5 << -32768 << qint64(-32768) << -32768;
    QTest::newRow("over32") << 2147483647.5 << -99999 << none << 32767;
    QTest::newRow("nan") << std::nan("") << -99999 << none << 0;
}

void TestConvert::rounding() {
    QFETCH(double, in);
    QFETCH(int, i16);
    QFETCH(qint64, i32);
    QFETCH(int, clamped);
    const auto a = ToInt16(in);
    const auto b = ToInt32(in);
    QCOMPARE(a ? int(*a) : -99999, i16);
    QCOMPARE(b ? qint64(*b) : -99999, i32);
    QCOMPARE(int(ToInt16Clamped(in)), clamped);
}

void TestConvert::dateSerial_data() {
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("m");
    QTest::addColumn<int>("d");
    QTest::addColumn<double>("serial"); // -1: no value
    QTest::newRow("2004-07-22") << 2004 << 7 << 22 << 38190.0;
    QTest::newRow("day carries") << 2004 << 2 << 30 << 38047.0;  // 2004-03-01
    QTest::newRow("negative day") << 2004 << 3 << -1 << 38045.0; // 2004-02-28
    QTest::newRow("month 0") << 2004 << 0 << 1 << 37956.0;       // 2003-12-01
    QTest::newRow("two-digit 29") << 29 << 1 << 1 << 47119.0;    // 2029-01-01
    QTest::newRow("two-digit 30") << 30 << 1 << 1 << 10959.0;    // 1930-01-01
    QTest::newRow("beyond 9999") << 9999 << 12 << 32 << -1.0;
    QTest::newRow("huge month") << 2000 << 2000000000 << 1 << -1.0;
}

void TestConvert::dateSerial() {
    QFETCH(int, y);
    QFETCH(int, m);
    QFETCH(int, d);
    QFETCH(double, serial);
    const auto s = DateSerial(y, m, d);
    QCOMPARE(s.value_or(-1.0), serial);
}

void TestConvert::serialRoundTrip() {
    // Every day from year 100 to 9999 maps back to itself.
    for (double s = -657434; s <= 2958465; s += 1) {
        const auto d = SerialToDate(s);
        if (!d) QFAIL(qPrintable(QString::number(s)));
        const auto back = DateSerial(d->year, d->month, d->day);
        if (d->year >= 100 && (!back || *back != s)) QFAIL(qPrintable(QString::number(s)));
    }
}

void TestConvert::serialToDate_data() {
    QTest::addColumn<double>("serial");
    QTest::addColumn<QByteArray>("ymd"); // empty: no value
    QTest::newRow("last second rounds up") << 38190.0 + 86399.6 / 86400 << QByteArray("20040723");
    QTest::newRow("negative keeps day") << -1.25 << QByteArray("18991229");
    QTest::newRow("nan") << std::nan("") << QByteArray();
    QTest::newRow("too late") << 3e6 << QByteArray();
}

void TestConvert::serialToDate() {
    QFETCH(double, serial);
    QFETCH(QByteArray, ymd);
    QCOMPARE(FormatYYYYMMDD(serial).value_or(QByteArray()), ymd);
}

QTEST_APPLESS_MAIN(TestConvert)
#include "test_convert.moc"
