#include "history/downlist.h"

#include <QRandomGenerator>
#include <QTest>

#include <cmath>

using namespace qxd;

class TestDownList : public QObject {
    Q_OBJECT
private slots:
    void queueing();
    void finishedAndCleared();
    void lookupsAgreeWithAScan();
};

void TestDownList::queueing() {
    DownList l;
    l.queue("XYZ", 1, 37988, 38169);
    // The same symbol and code again: ignored, the first dates stay.
    l.queue("XYZ", 1.0f, 1, 2);
    QCOMPARE(l.count(), 1);
    QCOMPARE(l.startDate(1), 37988.0);
    QCOMPARE(l.endDate(1), 38169.0);
    // Case, a trailing blank and another code make other items.
    l.queue("xyz", 1, 0, 0);
    l.queue("XYZ ", 1, 0, 0);
    l.queue("XYZ", -1, 0, 0);
    QCOMPARE(l.find("XYZ ", 1), 3);
    QCOMPARE(l.find("XYZ", -1), 4);
    // Never pending: code 0 or a symbol empty after trimming.
    l.queue("ABC", 0, 0, 0);
    l.queue("  ", 1, 0, 0);
    QVERIFY(!l.item(5).pending());
    QVERIFY(!l.item(6).pending());
    QVERIFY(l.item(3).pending());
}

void TestDownList::finishedAndCleared() {
    DownList l;
    l.queue("A", 1, 10, 20);
    l.queue("B", 1, 30, 40);
    l.set({}, 0, 1);
    QVERIFY(!l.item(1).pending());
    // A finished request is queued again at the end.
    l.queue("A", 1, 50, 60);
    QCOMPARE(l.count(), 3);
    QCOMPARE(l.startDate(3), 50.0);
    // Cleared by "Logoff Hist": positions start at 1 again, in the old,
    // larger date table.
    l.clear();
    l.queue("C", 5, 70, 80);
    QCOMPARE(l.find("C", 5), 1);
    QCOMPARE(l.dateColumns(), 3);
    QCOMPARE(l.startDate(1), 70.0);
    l.set("X", 1, 9); // no slot: nothing changes
    QCOMPARE(l.count(), 1);
}

// The list keeps an index for its lookups and a cursor for the first
// pending slot; after every step of a random run both must say what a walk
// over the slots says. Symbols that differ by case or a blank, codes 0 and
// -0 (one code) and NaN (never equal) are in the mix.
void TestDownList::lookupsAgreeWithAScan() {
    const QByteArray syms[] = {"A", "a", "A ", " ", "", "BB"};
    const float codes[] = {1, -1, 0, -0.0f, std::nanf(""), 5};
    auto scanFind = [](const DownList& l, const QByteArray& s, float ty) {
        for (std::int32_t i = 1; i <= l.count(); ++i)
            if (l.item(i).S == s && l.item(i).Ty == ty) return i;
        return 0;
    };
    auto scanPending = [](const DownList& l) {
        for (std::int32_t i = 1; i <= l.count(); ++i)
            if (l.item(i).pending()) return i;
        return 0;
    };
    QRandomGenerator rng(5);
    DownList l;
    for (int step = 0; step < 20000; ++step) {
        const QByteArray& s = syms[rng.bounded(6)];
        const float ty = codes[rng.bounded(6)];
        const int op = rng.bounded(100);
        if (op < 60)
            l.queue(s, ty, step, step);
        else if (op < 75) // a download ends: the item is marked finished
            l.set({}, 0, scanPending(l));
        else if (op < 99)
            l.set(s, ty, 1 + rng.bounded(l.count() + 2));
        else
            l.clear();
        for (const QByteArray& fs : syms)
            for (float fty : codes)
                if (l.find(fs, fty) != scanFind(l, fs, fty))
                    QFAIL(qPrintable(QStringLiteral("step %1: find %2,%3")
                                         .arg(step)
                                         .arg(QString::fromLatin1(fs), QString::number(fty))));
        if (l.firstPending() != scanPending(l))
            QFAIL(qPrintable(QStringLiteral("step %1: first pending").arg(step)));
    }
}

QTEST_APPLESS_MAIN(TestDownList)
#include "test_downlist.moc"
