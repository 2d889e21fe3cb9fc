#include "app/profile.h"
#include "support/disk_faults.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace qxd;

class TestProfile : public QObject {
    Q_OBJECT
private slots:
    void read_data();
    void read();
    void write_data();
    void write();
    void files();
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
    QTest::newRow("first section wins")
        << f << QByteArray("other") << QByteArray("ip") << QByteArray("10.0.0.1");
    QTest::newRow("quotes removed")
        << f << QByteArray("QXDATA") << QByteArray("PORT") << QByteArray("1400");
    QTest::newRow("commas and equals kept")
        << f << QByteArray("QXDATA") << QByteArray("UserName") << QByteArray("a,b=c");
    QTest::newRow("empty value") << f << QByteArray("QXDATA") << QByteArray("Empty")
                                 << QByteArray();
    QTest::newRow("blanks inside quotes kept")
        << f << QByteArray("QXDATA") << QByteArray("Quoted") << QByteArray("  x ");
    QTest::newRow("one quote stays")
        << f << QByteArray("QXDATA") << QByteArray("Half") << QByteArray("\"x");
    QTest::newRow("missing key") << f << QByteArray("QXDATA") << QByteArray("Nope")
                                 << QByteArray("DEF");
    QTest::newRow("comment is no key")
        << f << QByteArray("QXDATA") << QByteArray("Commented") << QByteArray("DEF");
    QTest::newRow("missing section")
        << f << QByteArray("QXHIST") << QByteArray("IP") << QByteArray("DEF");
    QTest::newRow("key outside section") << QByteArray("IP=1\n[QXDATA]\n") << QByteArray("QXDATA")
                                         << QByteArray("IP") << QByteArray("DEF");
    QTest::newRow("cut to 127") << QByteArray("[S]\nK=" + QByteArray(300, 'v') + "\n")
                                << QByteArray("S") << QByteArray("K") << QByteArray(127, 'v');
    QTest::newRow("empty file") << QByteArray() << QByteArray("S") << QByteArray("K")
                                << QByteArray("DEF");
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
    QTest::newRow("replace in place") << QByteArray("; keep\n[QXDATA]\nIP=1\nPORT=2\n[X]\nIP=9\n")
                                      << QByteArray("qxdata") << QByteArray("ip") << QByteArray("5")
                                      << QByteArray("; keep\n[QXDATA]\nip=5\nPORT=2\n[X]\nIP=9\n");
    QTest::newRow("add at end of section")
        << QByteArray("[QXDATA]\nIP=1\n\n[X]\nA=1\n") << QByteArray("QXDATA") << QByteArray("PORT")
        << QByteArray("1400") << QByteArray("[QXDATA]\nIP=1\nPORT=1400\n\n[X]\nA=1\n");
    QTest::newRow("add section") << QByteArray("[X]\nA=1\n") << QByteArray("QXHIST")
                                 << QByteArray("IP") << QByteArray("h")
                                 << QByteArray("[X]\nA=1\n\n[QXHIST]\nIP=h\n");
    QTest::newRow("crlf kept") << QByteArray("[QXDATA]\r\nIP=1\r\n") << QByteArray("QXDATA")
                               << QByteArray("UserName") << QByteArray("u")
                               << QByteArray("[QXDATA]\r\nIP=1\r\nUserName=u\r\n");
    QTest::newRow("no final line end")
        << QByteArray("[QXDATA]\nIP=1") << QByteArray("QXDATA") << QByteArray("IP")
        << QByteArray("2") << QByteArray("[QXDATA]\nIP=2");
    QTest::newRow("every other line kept byte for byte")
        << QByteArray("[QXDATA]\r\nA=1\nB=2\r\r\nIP=1") << QByteArray("QXDATA")
        << QByteArray("PORT") << QByteArray("3")
        << QByteArray("[QXDATA]\r\nA=1\nB=2\r\r\nIP=1\r\nPORT=3\r\n");
    QTest::newRow("stored as typed")
        << QByteArray() << QByteArray("QXDATA") << QByteArray("UserName")
        << QByteArray(" \"a,b=c\" ") << QByteArray("[QXDATA]\nUserName= \"a,b=c\" \n");
    QTest::newRow("line end in value cut") << QByteArray() << QByteArray("S") << QByteArray("K")
                                           << QByteArray("a\nb") << QByteArray("[S]\nK=a\n");
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

void TestProfile::files() {
    QTemporaryDir dir;
    // Missing file and folder: the folder is made on the first write.
    const QString path = dir.path() + "/sub/QXDATA.INI";
    QCOMPARE(ReadProfileFile(path), QByteArray());
    QCOMPARE(WriteProfileFile(path, {{"QXDATA", "IP", "1.2.3.4"}, {"QXDATA", "PORT", "1"}}),
             QString());
    QCOMPARE(ReadProfileFile(path), QByteArray("[QXDATA]\nIP=1.2.3.4\nPORT=1\n"));

    // A write that fails (a full disk): an error, and the old file stays whole.
    {
        DiskFull full(8);
        QVERIFY(!WriteProfileFile(path, {{"QXDATA", "IP", "9.9.9.9"}}).isEmpty());
    }
    QCOMPARE(ReadProfileFile(path), QByteArray("[QXDATA]\nIP=1.2.3.4\nPORT=1\n"));
    QCOMPARE(QDir(dir.path() + "/sub").entryList(QDir::Files), QStringList{"QXDATA.INI"});

    // A folder that cannot be made (a file stands in its way).
    QFile blocker(dir.path() + "/file");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!WriteProfileFile(dir.path() + "/file/QXDATA.INI", {{"S", "K", "V"}}).isEmpty());
}

QTEST_APPLESS_MAIN(TestProfile)
#include "test_profile.moc"
