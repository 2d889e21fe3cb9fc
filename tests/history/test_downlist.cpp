#include "history/downlist.h"

#include <QTest>

using namespace qxd;

class TestDownList : public QObject {
    Q_OBJECT
private slots:
    void queueing();
    void finishedAndCleared();
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

QTEST_APPLESS_MAIN(TestDownList)
#include "test_downlist.moc"
