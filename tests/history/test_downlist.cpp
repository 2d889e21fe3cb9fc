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
    l.RequestHistoricData("XYZ", 1, 37988, 38169);
    // The same symbol and code again: ignored, the first dates stay.
    l.RequestHistoricData("XYZ", 1.0f, 1, 2);
    QCOMPARE(l.DownListCount(), 1);
    QCOMPARE(l.startDate(1), 37988.0);
    QCOMPARE(l.endDate(1), 38169.0);
    // Case, a trailing blank and another code make other items.
    l.RequestHistoricData("xyz", 1, 0, 0);
    l.RequestHistoricData("XYZ ", 1, 0, 0);
    l.RequestHistoricData("XYZ", -1, 0, 0);
    QCOMPARE(l.DownListFind("XYZ ", 1), 3);
    QCOMPARE(l.DownListFind("XYZ", -1), 4);
    // Never pending: code 0 or a symbol empty after trimming.
    l.RequestHistoricData("ABC", 0, 0, 0);
    l.RequestHistoricData("  ", 1, 0, 0);
    QVERIFY(!l.DownListGet(5).pending());
    QVERIFY(!l.DownListGet(6).pending());
    QVERIFY(l.DownListGet(3).pending());
}

void TestDownList::finishedAndCleared() {
    DownList l;
    l.RequestHistoricData("A", 1, 10, 20);
    l.RequestHistoricData("B", 1, 30, 40);
    l.DownListSet({}, 0, 1);
    QVERIFY(!l.DownListGet(1).pending());
    // A finished request is queued again at the end.
    l.RequestHistoricData("A", 1, 50, 60);
    QCOMPARE(l.DownListCount(), 3);
    QCOMPARE(l.startDate(3), 50.0);
    // Cleared by "Logoff Hist": positions start at 1 again, in the old,
    // larger date table.
    l.DownListClear();
    l.RequestHistoricData("C", 5, 70, 80);
    QCOMPARE(l.DownListFind("C", 5), 1);
    QCOMPARE(l.dateColumns(), 3);
    QCOMPARE(l.startDate(1), 70.0);
    l.DownListSet("X", 1, 9); // no slot: nothing changes
    QCOMPARE(l.DownListCount(), 1);
}

// The list keeps an index for its lookups and a cursor for the first
// pending slot; after every step of a random run both must say what a walk
// over the slots says. Symbols that differ by case or a blank, codes 0 and
// -0 (one code) and NaN (never equal) are in the mix.
void TestDownList::lookupsAgreeWithAScan() {
    const QByteArray syms[] = {"A", "a", "A ", " ", "", "BB"};
    const float codes[] = {1, -1, 0, -0.0f, std::nanf(""), 5};
    auto scanFind = [](const DownList& l, const QByteArray& s, float ty) {
        for (std::int32_t i = 1; i <= l.DownListCount(); ++i)
            if (l.DownListGet(i).S == s && l.DownListGet(i).Ty == ty) return i;
        return 0;
    };
    auto scanPending = [](const DownList& l) {
        for (std::int32_t i = 1; i <= l.DownListCount(); ++i)
            if (l.DownListGet(i).pending()) return i;
        return 0;
    };
    QRandomGenerator rng(5);
    DownList l;
    for (int step = 0; step < 20000; ++step) {
        const QByteArray& s = syms[rng.bounded(6)];
        const float ty = codes[rng.bounded(6)];
        const int op = rng.bounded(100);
        if (op < 60)
            l.RequestHistoricData(s, ty, step, step);
        else if (op < 75) // a download ends: the item is marked finished
            l.DownListSet({}, 0, scanPending(l));
        else if (op < 99)
            l.DownListSet(s, ty, 1 + rng.bounded(l.DownListCount() + 2));
        else
            l.DownListClear();
        for (const QByteArray& fs : syms)
            for (float fty : codes)
                if (l.DownListFind(fs, fty) != scanFind(l, fs, fty))
                    QFAIL(qPrintable(QStringLiteral("step %1: find %2,%3")
                                         .arg(step)
                                         .arg(QString::fromLatin1(fs), QString::number(fty))));
        if (l.FirstPending() != scanPending(l))
            QFAIL(qPrintable(QStringLiteral("step %1: first pending").arg(step)));
    }
}

QTEST_APPLESS_MAIN(TestDownList)
#include "test_downlist.moc"
