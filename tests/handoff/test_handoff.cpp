#include "handoff/handoff.h"

#include <QTest>

#include <functional>

using namespace qxd;

namespace {
struct Listener : HandOffListener {
    int calls = 0;
    std::function<void()> during;
    void handOff(const HandOff&) override {
        ++calls;
        if (during) during();
    }
};
} // namespace

class TestHandOff : public QObject {
    Q_OBJECT
private slots:
    void bindingDuringNotification();
};

void TestHandOff::bindingDuringNotification() {
    HandOff h;
    Listener a, b, late;
    h.bind(&a);
    h.bind(&b);
    // `a` unbinds `b` and binds `late` while a notification runs.
    a.during = [&] {
        h.unbind(&b);
        h.bind(&late);
    };
    h.setData("1");
    QCOMPARE(b.calls, 0);
    QCOMPARE(late.calls, 0);
    a.during = nullptr;
    h.setData("2");
    QCOMPARE(late.calls, 1);
    QCOMPARE(h.listenerCount(), 2u);
    // A listener that unbinds itself, and a nested write.
    late.during = [&] { h.unbind(&late); };
    int nested = 0;
    a.during = [&] {
        if (nested++ == 0) h.setData("inner");
    };
    h.setData("3");
    QCOMPARE(h.listenerCount(), 1u);
    QVERIFY(!h.isBound(&late));
    QCOMPARE(h.Data(), QByteArray("inner")); // the nested write came last
}

QTEST_APPLESS_MAIN(TestHandOff)
#include "test_handoff.moc"
