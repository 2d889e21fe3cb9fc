#include "history/extract.h"
#include "sim/zip_writer.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace qxd;

namespace {

struct Place {
    QTemporaryDir dir;
    QString folder() const { return dir.path() + "/indataqx"; }
    QString archive() const { return folder() + "/ToDecompress.zip"; }
    Place() { QDir().mkpath(folder()); }
    void put(const QByteArray& zip) { write("ToDecompress.zip", zip); }
    void write(const QString& rel, const QByteArray& bytes) {
        QFile f(folder() + "/" + rel);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray read(const QString& rel) const {
        QFile f(folder() + "/" + rel);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // Every path under the temporary directory, outside the historic folder.
    QStringList outside() const {
        QStringList out;
        for (const QString& e :
             QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
            if (e != "indataqx") out << e;
        return out;
    }
};

} // namespace

class TestExtract : public QObject {
    Q_OBJECT
private slots:
    void hostileEntries_data();
    void hostileEntries();
    void existingLinkNotFollowed();
    void corruptArchives_data();
    void corruptArchives();
    void bounds();
};

void TestExtract::hostileEntries_data() {
    QTest::addColumn<QList<ZipEntry>>("entries");
    QTest::newRow("dot-dot inside") << QList<ZipEntry>{{"ok", "1"}, {"a/../../escape", "bad"}};
    QTest::newRow("symlink") << QList<ZipEntry>{{"ok", "1"},
                                                {"link", {}, ZipEntry::Symlink, "../.."}};
    QTest::newRow("link then file through it")
        << QList<ZipEntry>{{"ok", "1"}, {"l", {}, ZipEntry::Symlink, ".."}, {"l/escape", "bad"}};
}

// Nothing lands outside the folder; the result says why.
void TestExtract::hostileEntries() {
    QFETCH(QList<ZipEntry>, entries);
    Place p;
    p.put(MakeZip(entries));
    const ExtractResult r = ExtractArchive(p.archive(), p.folder());
    QCOMPARE(r.code, int(ExtractResult::UnsafeEntry));
    QVERIFY(!r.description.isEmpty());
    QCOMPARE(p.outside(), QStringList());
    QVERIFY(!QFile::exists("/tmp/qxd-escape"));
    QCOMPARE(p.read("ok"), QByteArray("1")); // the good entry before it is written
    QVERIFY(!QFileInfo(p.folder() + "/link").isSymLink());
}

void TestExtract::existingLinkNotFollowed() {
    Place p;
    QVERIFY(QDir().mkpath(p.dir.path() + "/target"));
    QVERIFY(QFile::link(p.dir.path() + "/target", p.folder() + "/sub"));
    QVERIFY(QFile::link(p.dir.path() + "/victim", p.folder() + "/file"));
    p.put(MakeZip({{"sub/escape", "bad"}, {"file", "bad"}}));
    const ExtractResult r = ExtractArchive(p.archive(), p.folder());
    QCOMPARE(r.code, int(ExtractResult::WriteFailed));
    QCOMPARE(QDir(p.dir.path() + "/target").entryList(QDir::Files), QStringList());
    QVERIFY(!QFile::exists(p.dir.path() + "/victim"));
}

void TestExtract::corruptArchives_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("code");
    QByteArray noise(5000, 0);
    QRandomGenerator rng(7);
    for (auto& c : noise) c = char(rng.bounded(256));
    const QByteArray good = MakeZip({{"a", noise}, {"b", QByteArray(5000, 'b')}});
    QByteArray flipped = good;
    flipped[2500] = char(flipped[2500] ^ 0x5A); // inside the first entry's data
    QTest::newRow("truncated") << good.left(good.size() / 2) << int(ExtractResult::Corrupt);
    QTest::newRow("flipped data") << flipped << int(ExtractResult::Corrupt);
    QTest::newRow("empty") << QByteArray() << int(ExtractResult::Corrupt);
}

void TestExtract::corruptArchives() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, code);
    Place p;
    p.put(bytes);
    p.write("a", "older series");
    const ExtractResult r = ExtractArchive(p.archive(), p.folder());
    QCOMPARE(r.code, code);
    QVERIFY(!r.description.isEmpty());
    // A file of the failed entry's name is kept, and nothing is left half
    // written beside it.
    QCOMPARE(p.read("a"), QByteArray("older series"));
    QCOMPARE(QDir(p.folder()).entryList({"*.qxdpart"}, QDir::Files | QDir::Hidden), QStringList());
    // A missing archive or folder fails too.
    QCOMPARE(ExtractArchive(p.folder() + "/none.zip", p.folder()).code,
             int(ExtractResult::Corrupt));
    QCOMPARE(ExtractArchive(p.archive(), p.folder() + "/none").code,
             int(ExtractResult::CannotOpen));
}

void TestExtract::bounds() {
    Place p;
    // A bomb: 20 MB of zeros in a few kilobytes.
    p.put(MakeZip({{"bomb", QByteArray(20 << 20, 0)}}));
    ExtractLimits lim;
    lim.maxRatio = 10;
    lim.slackBytes = 1 << 20;
    ExtractResult r = ExtractArchive(p.archive(), p.folder(), lim);
    QCOMPARE(r.code, int(ExtractResult::TooLarge));
    QVERIFY(!QFile::exists(p.folder() + "/bomb")); // stopped inside it: never named
    // Too many entries.
    QList<ZipEntry> many;
    for (int i = 0; i < 30; ++i) many.append({"f" + QByteArray::number(i), "x"});
    p.put(MakeZip(many));
    lim = {};
    lim.maxEntries = 20;
    r = ExtractArchive(p.archive(), p.folder(), lim);
    QCOMPARE(r.code, int(ExtractResult::TooLarge));
    QCOMPARE(r.entries, 20);
}

QTEST_APPLESS_MAIN(TestExtract)
#include "test_extract.moc"
