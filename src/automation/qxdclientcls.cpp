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

QXDClient& QXDClientCLS::window() {
    return *QXDClient::instance();
}

QString QXDClientCLS::AddSymbol(const QByteArray& S) {
    QXDClient& w = window();
    if (QString e = w.ensureLoaded(); !e.isEmpty()) return e;
    return w.feed.AddSymbol(S).description;
}

QString QXDClientCLS::LogOff() {
    QXDClient& w = window();
    if (QString e = w.ensureLoaded(); !e.isEmpty()) return e;
    w.feed.LogOff();
    return {};
}

QString QXDClientCLS::RequestHistoricData(const QByteArray& S, float Ty, double D1, double D2) {
    if (S.isEmpty() || S[0] == ',') return {};
    QXDClient& w = window();
    if (QString e = w.ensureLoaded(); !e.isEmpty()) return e;
    w.hist.list.RequestHistoricData(S, Ty, D1, D2);
    return {};
}

QString QXDClientCLS::Iniciar(const QByteArray& S) {
    mForm = &window();
    if (QString e = mForm->Show(); !e.isEmpty()) return e;
    mForm->handoff.bind(this);
    NewData = true;
    QByteArray dir = S;
    if (!dir.isEmpty() && !dir.endsWith('/')) dir += '/';
    mForm->handoff.Diretorio = dir;
    return {};
}

QString QXDClientCLS::RequestSymbol(const QByteArray& S) {
    QXDClient& w = window();
    if (QString e = w.ensureLoaded(); !e.isEmpty()) return e;
    return w.feed.RequestSymbol(S).description;
}

QString QXDClientCLS::ShowMe() {
    return window().ShowMe();
}

void QXDClientCLS::Release() {
    mClassCont -= 1;
    if (mClassCont >= 1) return;
    QXDClient* w = mForm;
    if (w && NewData) w->handoff.unbind(this);
    NewData = false;
    if (w) w->Unload();
    mForm = nullptr;
    if (programEnd()) {
        programEnd()();
        return;
    }
    // In process the host lives on: the client stops.
    if (w) {
        w->sockhist.Close();
        w->Timer1.stop();
        w->TimerHist.stop();
    }
    emit clientStopped();
}

void QXDClientCLS::copyQuote(const HandOff& h) {
    Simbolo = h.vSimbolo;
    Last = h.vLast;
    Bid = h.vBid;
    Ask = h.vAsk;
    LastS = h.vLastS;
    Change = h.vChange;
    BidS = h.vBidS;
    AskS = h.vAskS;
    OpenV = h.vOpen;
    High = h.vHi;
    Low = h.vLow;
    Previous = h.vPrevious;
    OInt = h.vOInt;
    Vol = h.vVol;
    TimeV = h.vTime;
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
