#include "automation/qxdclientcls.h"

#include "app/client_window.h"
#include "app/qxdclient.h"

#include <QPointer>

namespace qxd {

namespace {
std::function<void()>& programEnd() {
    static std::function<void()> end;
    return end;
}
} // namespace

void QXDClientCLS::setProgramEnd(std::function<void()> end) {
    programEnd() = std::move(end);
}

QXDClientCLS::QXDClientCLS(QObject* parent)
    : QObject(parent) {
    mClassCont += 1;
}

QXDClientCLS::~QXDClientCLS() {
    if (mForm && NewData) mForm->handoff.unbind(this);
}

QXDClient* QXDClientCLS::window(QString* error) {
    if (released_) {
        *error = QStringLiteral("This object was released");
        return nullptr;
    }
    QXDClient* w = QXDClient::instance();
    if (w->stopped()) {
        *error = QXDClient::stoppedText();
        return nullptr;
    }
    return w;
}

QString QXDClientCLS::AddSymbol(const QByteArray& S) {
    QString e;
    QXDClient* w = window(&e);
    if (!w) return e;
    if (e = w->ensureLoaded(); !e.isEmpty()) return e;
    return w->feed.AddSymbol(S).description;
}

// Only a logged-on feed is signed off, and a logged-on window is loaded:
// this call never loads it.
QString QXDClientCLS::LogOff() {
    QString e;
    QXDClient* w = window(&e);
    if (!w) return e;
    w->feed.LogOff();
    return {};
}

// Only the download list changes: the window is not loaded, and a download
// queued before it is waits for the historic timer that the load starts.
QString QXDClientCLS::RequestHistoricData(const QByteArray& S, float Ty, double D1, double D2) {
    QString e;
    QXDClient* w = window(&e);
    if (!w) return e;
    if (S.isEmpty() || S[0] == ',') return {};
    w->hist.list.RequestHistoricData(S, Ty, D1, D2);
    return {};
}

QString QXDClientCLS::Iniciar(const QByteArray& S) {
    QString e;
    QXDClient* w = window(&e);
    if (!w) return e;
    mForm = w;
    if (e = mForm->Show(); !e.isEmpty()) return e;
    mForm->handoff.bind(this);
    NewData = true;
    QByteArray dir = S;
    if (!dir.isEmpty() && !dir.endsWith('/')) dir += '/';
    mForm->handoff.Diretorio = dir;
    return {};
}

QString QXDClientCLS::RequestSymbol(const QByteArray& S) {
    QString e;
    QXDClient* w = window(&e);
    if (!w) return e;
    if (e = w->ensureLoaded(); !e.isEmpty()) return e;
    return w->feed.RequestSymbol(S).description;
}

QString QXDClientCLS::ShowMe() {
    QString e;
    QXDClient* w = window(&e);
    return w ? w->ShowMe() : e;
}

void QXDClientCLS::Release() {
    if (released_) return;
    released_ = true;
    mClassCont -= 1;
    // The object is gone whatever its count: its relay goes with it. The
    // count only decides whether the program ends.
    QXDClient* w = mForm;
    if (w) w->handoff.unbind(this);
    NewData = false;
    if (mClassCont >= 1) return;
    if (w) w->Unload();
    mForm = nullptr;
    if (programEnd()) {
        programEnd()(); // the program ends here
        return;
    }
    // In process the host lives on: the client stops.
    if (QXDClient* any = QXDClient::existingInstance()) any->stop();
    emit clientStopped();
}

void QXDClientCLS::copyQuote(const HandOff& h) {
#define QXD_COPY_FIELD(Property, handOffField, Type) Property = h.handOffField;
    QXD_QUOTE_FIELDS(QXD_COPY_FIELD)
#undef QXD_COPY_FIELD
}

// The relay: each test reads vType anew, in the order 0 to 5, so a hand-off
// completed inside a host's handler is seen by the tests after it.
void QXDClientCLS::handOff(const HandOff& h) {
    QPointer<QXDClientCLS> self(this);
    if (h.vType == KindTrade) {
        copyQuote(h);
        nTicks = h.vTicks;
        Flag = 0;
        emit propertiesSet(KindTrade);
        emit FeederReady();
        if (!self) return;
    }
    if (h.vType == KindTime) {
        QuvantixServerDateTime = h.vQuvantixServerDateTime;
        emit propertiesSet(KindTime);
        emit NewTime(QuvantixServerDateTime);
        if (!self) return;
    }
    if (h.vType == KindLogon) {
        emit RequestAllSimbols();
        if (!self) return;
    }
    if (h.vType == KindComplete) {
        copyQuote(h);
        Flag = 1;
        emit propertiesSet(KindComplete);
        emit FeederReady();
        if (!self) return;
    }
    if (h.vType == KindRequested) {
        copyQuote(h);
        Flag = 2;
        emit propertiesSet(KindRequested);
        emit FeederReady();
        if (!self) return;
    }
    if (h.vType == KindDownload) emit EndDownload(h.vSimbolo, h.VInterval);
}

} // namespace qxd
