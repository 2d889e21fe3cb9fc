// QXDClientCLS: the host's object. Its methods forward to the shared client
// (ClientOperations); its properties are filled by its relay just before it raises an
// event. A C++ host links the library, creates objects and connects to the
// four event signals, which are emitted synchronously: the quote is in the
// properties while the handler runs.
//
//     QApplication app(argc, argv);
//     qxd::QXDClientCLS feed;
//     QObject::connect(&feed, &qxd::QXDClientCLS::FeederReady, [&] {
//         std::printf("%s %g\n", feed.Simbolo.constData(), feed.Last);
//     });
//     QObject::connect(&feed, &qxd::QXDClientCLS::RequestAllSimbols,
//                      [&] { feed.AddSymbol("PETR4"); });
//     feed.Iniciar("/home/trader/data");
//     app.exec();
#pragma once

#include "handoff/handoff.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>

namespace qxd {

class ClientOperations;

class QXDClientCLS : public QObject, private HandOffListener {
    Q_OBJECT
public:
    explicit QXDClientCLS(QObject* parent = nullptr);
    ~QXDClientCLS() override;

    // Properties, in interface order: the quote fields, then the kind of
    // record, the server time, the tick count and the life count. Plain
    // fields: a host may write them, which changes only this object's copy.
#define QXD_CLS_PROPERTY(Property, handOffField, Type) Type Property{};
    QXD_QUOTE_FIELDS(QXD_CLS_PROPERTY)
#undef QXD_CLS_PROPERTY
    std::int16_t Flag = 0;
    double QuvantixServerDateTime = 0;
    std::int16_t nTicks = 0;
    std::int32_t mClassCont = 0; // the life count

    // Methods, in interface order. A non-empty result is the failure of the
    // call (the host sees it as an error); messages for the user appear in
    // the window instead.
    QString AddSymbol(const QByteArray& S);
    QString LogOff();
    QString RequestHistoricData(const QByteArray& S, float Ty, double D1, double D2);
    QString Iniciar(const QByteArray& S);
    QString RequestSymbol(const QByteArray& S);
    QString ShowMe();

    // The host lets go of its reference, once: the life count falls by one
    // and the object is gone (its relay unbound, its methods refused); below
    // 1 the window is unloaded and the program ended (see setProgramEnd).
    void Release();

    bool started() const {
        return NewData;
    }
    bool released() const {
        return released_;
    }

    // What ending the program means. The qxdataclient executable ends the
    // process at once; by default (a host that links the library) the
    // client only stops (ClientOperations::stop: no more events to any object, both
    // sockets closed, every later call refused) and the released object
    // emits clientStopped().
    static void setProgramEnd(std::function<void()> end);

signals:
    void FeederReady();
    void RequestAllSimbols();
    void NewTime(double DateTime);
    void EndDownload(const QByteArray& Symbol, float Ty);

    // The relay set these properties just before the event that follows.
    void propertiesSet(int kind);
    // The client stopped after the last release (in-process hosts).
    void clientStopped();

private:
    void handOff(const HandOff& h) override;
    void copyQuote(const HandOff& h);
    // The shared client, or null with the reason when this object may no
    // longer reach it.
    ClientOperations* client(QString* error);
    ClientOperations* startedClient() const;

    ClientOperations* mForm = nullptr; // the client; empty until Iniciar
    bool NewData = false;
    bool released_ = false;
};

} // namespace qxd
