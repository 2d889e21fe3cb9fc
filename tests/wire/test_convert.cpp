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
    void valBeyondRange();
    void rounding_data();
    void rounding();
    void toFloat();
    void formatZero_data();
    void formatZero();
    void dateSerial_data();
    void dateSerial();
    void serialRoundTrip();
    void serialToDate_data();
    void serialToDate();
    void patterns();
};

void TestConvert::val_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<double>("expected");
    QTest::newRow("empty") << QByteArray() << 0.0;
    QTest::newRow("integer") << QByteArray("1400") << 1400.0;
    QTest::newRow("blanks anywhere") << QByteArray(" 1 2\t3\n4") << 1234.0;
    QTest::newRow("carriage return stops") << QByteArray("12\r3") << 12.0;
    QTest::newRow("sign") << QByteArray("-0.25") << -0.25;
    QTest::newRow("sign then blank") << QByteArray("- 5") << -5.0;
    QTest::newRow("leading point") << QByteArray(".5") << 0.5;
    QTest::newRow("second point stops") << QByteArray("1.2.3") << 1.2;
    QTest::newRow("exponent") << QByteArray("1.5E2") << 150.0;
    QTest::newRow("exponent d negative") << QByteArray("25d-1") << 2.5;
    QTest::newRow("exponent with blanks") << QByteArray("1 E + 2") << 100.0;
    QTest::newRow("dangling exponent sign") << QByteArray("3E-x") << 3.0;
    QTest::newRow("trailing letters") << QByteArray("12abc") << 12.0;
    QTest::newRow("hex") << QByteArray("&HFF") << 255.0;
    QTest::newRow("hex stops") << QByteArray("&H1G") << 1.0;
    QTest::newRow("octal") << QByteArray("&O17") << 15.0;
    QTest::newRow("octal stops at 8") << QByteArray("&O78") << 7.0;
    QTest::newRow("ampersand other") << QByteArray("&X1") << 0.0;
    QTest::newRow("blank before hex") << QByteArray(" &H10") << 16.0;
    QTest::newRow("nul stops") << QByteArray("4\0"
                                             "5",
                                             3)
                               << 4.0;
    QTest::newRow("high byte stops") << QByteArray("9\xE9") << 9.0;
    QTest::newRow("hex prefix of C is no number") << QByteArray("0x10") << 0.0;
}

void TestConvert::val() {
    QFETCH(QByteArray, text);
    QFETCH(double, expected);
    QCOMPARE(Val(text), expected);
}

void TestConvert::valBeyondRange() {
    QCOMPARE(Val("1E400"), std::numeric_limits<double>::infinity());
    QCOMPARE(Val("-1E400"), -std::numeric_limits<double>::infinity());
    QCOMPARE(Val("1E-400"), 0.0);
    // A long run of digits is read exactly, not truncated.
    QCOMPARE(Val(QByteArray(400, '0') + "12"), 12.0);
    // Reading does not depend on the process locale's decimal separator.
    QCOMPARE(Val("3.25"), 3.25);
}

void TestConvert::rounding_data() {
    QTest::addColumn<double>("in");
    QTest::addColumn<int>("i16"); // -99999: no value
    QTest::addColumn<qint64>("i32");
    const qint64 none = -99999;
    QTest::newRow("2.5") << 2.5 << 2 << qint64(2);
    QTest::newRow("3.5") << 3.5 << 4 << qint64(4);
    QTest::newRow("-2.5") << -2.5 << -2 << qint64(-2);
    QTest::newRow("max16") << 32767.4 << 32767 << qint64(32767);
    QTest::newRow("over16 by rounding") << 32767.5 << -99999 << qint64(32768);
    QTest::newRow("min16") << -32768.5 << -32768 << qint64(-32768);
    QTest::newRow("under16") << -32769.0 << -99999 << qint64(-32769);
    QTest::newRow("max32") << 2147483647.0 << -99999 << qint64(2147483647);
    QTest::newRow("over32") << 2147483647.5 << -99999 << none;
    QTest::newRow("nan") << std::nan("") << -99999 << none;
    QTest::newRow("inf") << std::numeric_limits<double>::infinity() << -99999 << none;
}

void TestConvert::rounding() {
    QFETCH(double, in);
    QFETCH(int, i16);
    QFETCH(qint64, i32);
    const auto a = ToInt16(in);
    const auto b = ToInt32(in);
    QCOMPARE(a.has_value(), i16 != -99999);
    if (a) QCOMPARE(int(*a), i16);
    QCOMPARE(b.has_value(), i32 != -99999);
    if (b) QCOMPARE(qint64(*b), i32);
    // Clamped storing agrees wherever the value fits.
    if (a) QCOMPARE(ToInt16Clamped(in), *a);
}

void TestConvert::toFloat() {
    constexpr float fmax = std::numeric_limits<float>::max();
    constexpr float inf = std::numeric_limits<float>::infinity();
    QCOMPARE(ToFloat(1e39), inf);
    QCOMPARE(ToFloat(-1e39), -inf);
    QCOMPARE(ToFloat(double(fmax)), fmax);
    QCOMPARE(ToFloat(double(fmax) + 0x1p102), fmax); // rounds down to the largest float
    QCOMPARE(ToFloat(double(fmax) + 0x1p103), inf);  // the tie goes up
    QCOMPARE(ToFloat(0.1), 0.1f);
    QVERIFY(std::isnan(ToFloat(std::nan(""))));
    QCOMPARE(ToInt16Clamped(1e9), std::int16_t(32767));
    QCOMPARE(ToInt16Clamped(-1e9), std::int16_t(-32768));
    QCOMPARE(ToInt16Clamped(std::nan("")), std::int16_t(0));
}

void TestConvert::formatZero_data() {
    QTest::addColumn<double>("in");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("int") << 500.0 << QByteArray("500");
    QTest::newRow("half up") << 2.5 << QByteArray("3");
    QTest::newRow("half away") << -2.5 << QByteArray("-3");
    QTest::newRow("small negative") << -0.4 << QByteArray("0");
    QTest::newRow("large") << 1e20 << QByteArray("100000000000000000000");
}

void TestConvert::formatZero() {
    QFETCH(double, in);
    QFETCH(QByteArray, out);
    QCOMPARE(FormatZero(in), out);
}

void TestConvert::dateSerial_data() {
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("m");
    QTest::addColumn<int>("d");
    QTest::addColumn<double>("serial"); // -1: no value
    QTest::newRow("epoch") << 1899 << 12 << 30 << 0.0;
    QTest::newRow("2004-07-22") << 2004 << 7 << 22 << 38190.0;
    QTest::newRow("2000-02-29 leap") << 2000 << 2 << 29 << 36585.0;
    QTest::newRow("day carries") << 2004 << 2 << 30 << 38047.0;  // 2004-03-01
    QTest::newRow("day 0") << 2004 << 3 << 0 << 38046.0;         // 2004-02-29
    QTest::newRow("negative day") << 2004 << 3 << -1 << 38045.0; // 2004-02-28
    QTest::newRow("month 13") << 2003 << 13 << 1 << 37987.0;     // 2004-01-01
    QTest::newRow("month 0") << 2004 << 0 << 1 << 37956.0;       // 2003-12-01
    QTest::newRow("all zero") << 0 << 0 << 0 << 36494.0;         // 1999-11-30
    QTest::newRow("two-digit 29") << 29 << 1 << 1 << 47119.0;    // 2029-01-01
    QTest::newRow("two-digit 30") << 30 << 1 << 1 << 10959.0;    // 1930-01-01
    QTest::newRow("year 100") << 100 << 1 << 1 << -657434.0;
    QTest::newRow("year 9999 end") << 9999 << 12 << 31 << 2958465.0;
    QTest::newRow("beyond 9999") << 9999 << 12 << 32 << -1.0;
    QTest::newRow("huge month") << 2000 << 2000000000 << 1 << -1.0;
}

void TestConvert::dateSerial() {
    QFETCH(int, y);
    QFETCH(int, m);
    QFETCH(int, d);
    QFETCH(double, serial);
    const auto s = DateSerial(y, m, d);
    QCOMPARE(s.has_value(), serial != -1.0);
    if (s) QCOMPARE(*s, serial);
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
    QTest::newRow("epoch") << 0.0 << QByteArray("18991230");
    QTest::newRow("with time") << 38190.65 << QByteArray("20040722");
    QTest::newRow("last second rounds up") << 38190.0 + 86399.6 / 86400 << QByteArray("20040723");
    QTest::newRow("negative keeps day") << -1.25 << QByteArray("18991229");
    QTest::newRow("nan") << std::nan("") << QByteArray();
    QTest::newRow("too late") << 3e6 << QByteArray();
}

void TestConvert::serialToDate() {
    QFETCH(double, serial);
    QFETCH(QByteArray, ymd);
    const auto s = FormatYYYYMMDD(serial);
    QCOMPARE(s.has_value(), !ymd.isEmpty());
    if (s) QCOMPARE(*s, ymd);
}

void TestConvert::patterns() {
    QCOMPARE(FormatHMS(9, 5, 0), QByteArray("09:05:00"));
    QCOMPARE(TimeSerial(25, 0, 0), 25 / 24.0);
    const QByteArray now = LocalClockHMS();
    QCOMPARE(now.size(), 8);
    QCOMPARE(now[2], ':');
}

QTEST_APPLESS_MAIN(TestConvert)
#include "test_convert.moc"
