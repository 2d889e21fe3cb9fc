#include "app/profile.h"

#include <QTest>

using namespace qxd;

class TestProfile : public QObject {
    Q_OBJECT
private slots:
    void read_data();
    void read();
    void write_data();
    void write();
};

void TestProfile::read_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value"); // default "DEF"
    const QByteArray f = "; a comment\n"
                         "[Other]\nIP=10.0.0.1\n"
                         "[ qxdata ]\r\n"
                         "  ip =  127.0.0.1  \r\n"
                         "Port=\"1400\"\r\n"
                         "UserName=a,b=c\r\n"
                         "Empty=\r\n"
                         "Quoted=\"  x \"\r\n"
                         "Half=\"x\r\n"
                         "no equals sign here\r\n"
                         ";Commented=1\r\n";
    QTest::newRow("mixed case, blanks")
        << f << QByteArray("QXDATA") << QByteArray("IP") << QByteArray("127.0.0.1");
    QTest::newRow("quotes removed")
        << f << QByteArray("QXDATA") << QByteArray("PORT") << QByteArray("1400");
    QTest::newRow("commas and equals kept")
        << f << QByteArray("QXDATA") << QByteArray("UserName") << QByteArray("a,b=c");
    QTest::newRow("blanks inside quotes kept")
        << f << QByteArray("QXDATA") << QByteArray("Quoted") << QByteArray("  x ");
    QTest::newRow("missing key") << f << QByteArray("QXDATA") << QByteArray("Nope")
                                 << QByteArray("DEF");
    QTest::newRow("key outside section") << QByteArray("IP=1\n[QXDATA]\n") << QByteArray("QXDATA")
                                         << QByteArray("IP") << QByteArray("DEF");
    QTest::newRow("cut to 127") << QByteArray("[S]\nK=" + QByteArray(300, 'v') + "\n")
                                << QByteArray("S") << QByteArray("K") << QByteArray(127, 'v');
}

void TestProfile::read() {
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QCOMPARE(ProfileText(file).read(section, key, "DEF"), value);
}

void TestProfile::write_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("crlf kept") << QByteArray("[QXDATA]\r\nIP=1\r\n") << QByteArray("QXDATA")
                               << QByteArray("UserName") << QByteArray("u")
                               << QByteArray("[QXDATA]\r\nIP=1\r\nUserName=u\r\n");
    QTest::newRow("every other line kept byte for byte")
        << QByteArray("[QXDATA]\r\nA=1\nB=2\r\r\nIP=1") << QByteArray("QXDATA")
        << QByteArray("PORT") << QByteArray("3")
        << QByteArray("[QXDATA]\r\nA=1\nB=2\r\r\nIP=1\r\nPORT=3\r\n");
    QTest::newRow("a last line's own CR stays in its value")
        << QByteArray("[S]\nK=v\r") << QByteArray("T") << QByteArray("X") << QByteArray("1")
        << QByteArray("[S]\nK=v\r\r\n\n[T]\nX=1\n");
}

void TestProfile::write() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, after);
    ProfileText p(before);
    p.write(section, key, value);
    QCOMPARE(p.content(), after);
}

QTEST_APPLESS_MAIN(TestProfile)
#include "test_profile.moc"
