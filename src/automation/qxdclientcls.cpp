#include "automation/qxdclientcls.h"

#include "automation/client_operations.h"

#include <QPointer>

namespace qxd {

namespace {
std::function<void()>& programEnd() {
    static std::function<void()> end;
    return end;
}
SharedClientMaker g_maker = nullptr;
ExistingClientGetter g_existing = nullptr;
} // namespace

void SetSharedClient(SharedClientMaker maker) {
    g_maker = maker;
}

ClientOperations* SharedClient() {
    return g_maker ? &g_maker() : nullptr;
}

void SetExistingSharedClient(ExistingClientGetter getter) {
    g_existing = getter;
}

ClientOperations* ExistingSharedClient() {
    return g_existing ? g_existing() : nullptr;
}

void QXDClientCLS::setProgramEnd(std::function<void()> end) {
    programEnd() = std::move(end);
}

QXDClientCLS::QXDClientCLS(QObject* parent)
    : QObject(parent) {
    mClassCont += 1;
}

QXDClientCLS::~QXDClientCLS() {
    if (ClientOperations* c = startedClient()) c->handOff().unbind(this);
}

// The client this object was started on, while it still exists (a host
// that links the library may destroy it first).
ClientOperations* QXDClientCLS::startedClient() const {
    return mForm && mForm == ExistingSharedClient() ? mForm : nullptr;
}

ClientOperations* QXDClientCLS::client(QString* error) {
    if (released_) {
        *error = QStringLiteral("This object was released");
        return nullptr;
    }
    ClientOperations* c = SharedClient();
    if (!c) {
        *error = QStringLiteral("No client is linked into this program");
        return nullptr;
    }
    if (c->stopped()) {
        *error = QStringLiteral("The client has stopped: its last object was released");
        return nullptr;
    }
    return c;
}

QString QXDClientCLS::AddSymbol(const QByteArray& S) {
    QString e;
    ClientOperations* c = client(&e);
    return c ? c->addSymbol(S) : e;
}

// Only a logged-on feed is signed off, and a logged-on window is loaded:
// this call never loads it.
QString QXDClientCLS::LogOff() {
    QString e;
    ClientOperations* c = client(&e);
    if (c) c->logOff();
    return e;
}

// Only the download list changes: the window is not loaded, and a download
// queued before it is waits for the historic timer that the load starts.
QString QXDClientCLS::RequestHistoricData(const QByteArray& S, float Ty, double D1, double D2) {
    QString e;
    ClientOperations* c = client(&e);
    if (!c) return e;
    if (S.isEmpty() || S[0] == ',') return {};
    c->queueDownload(S, Ty, D1, D2);
    return {};
}

QString QXDClientCLS::Iniciar(const QByteArray& S) {
    QString e;
    ClientOperations* c = client(&e);
    if (!c) return e;
    mForm = c;
    if (e = c->show(false); !e.isEmpty()) return e;
    c->handOff().bind(this);
    NewData = true;
    QByteArray dir = S;
    if (!dir.isEmpty() && !dir.endsWith('/')) dir += '/';
    c->handOff().Diretorio = dir;
    return {};
}

QString QXDClientCLS::RequestSymbol(const QByteArray& S) {
    QString e;
    ClientOperations* c = client(&e);
    return c ? c->requestSymbol(S) : e;
}

QString QXDClientCLS::ShowMe() {
    QString e;
    ClientOperations* c = client(&e);
    return c ? c->show(true) : e;
}

void QXDClientCLS::Release() {
    if (released_) return;
    released_ = true;
    mClassCont -= 1;
    // The object is gone whatever its count: its relay goes with it. The
    // count only decides whether the program ends.
    ClientOperations* c = startedClient();
    if (c) c->handOff().unbind(this);
    NewData = false;
    if (mClassCont >= 1) return;
    if (c) c->unload();
    mForm = nullptr;
    if (programEnd()) {
        programEnd()(); // the program ends here
        return;
    }
    // In process the host lives on: the client stops.
    if (ClientOperations* any = ExistingSharedClient()) any->stop();
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
