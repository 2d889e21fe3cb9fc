// What the automation object forwards to: the client behind every object,
// one shared instance. The app implements it and names the instance with
// SetSharedClient(); the objects reach it through SharedClient().
#pragma once

#include <QByteArray>
#include <QString>

namespace qxd {

class HandOff;

class ClientOperations {
public:
    // Every call that returns a text returns the error that stopped it
    // (the host sees it as the failure of its call), or an empty text.

    // Loads the window if it is not (settings read, window made topmost,
    // timers started); AddSymbol and RequestSymbol use its controls.
    virtual QString load() = 0;
    // Shows the window, loading it first; `restore` also brings it back
    // from minimised.
    virtual QString show(bool restore) = 0;
    // The subscription commands and the logoff of the feed.
    virtual QString addSymbol(const QByteArray& symbol) = 0;
    virtual QString requestSymbol(const QByteArray& symbol) = 0;
    virtual void logOff() = 0;
    // Queues a historic download; touches nothing but the download list.
    virtual void queueDownload(const QByteArray& symbol, float interval, double from,
                               double to) = 0;
    // The hand-off the objects' relays listen to; its data folder too.
    virtual HandOff& handOff() = 0;
    // The unload step: settings written back, the feed signed off.
    virtual void unload() = 0;
    // The end of the client where the program cannot end: no listener
    // hears another hand-off, both connections close, nothing reads or
    // loads again.
    virtual void stop() = 0;
    virtual bool stopped() const = 0;

protected:
    ~ClientOperations() = default;
};

// The shared client, made on first use by the function the app names; null
// when none was named (a library without the app).
using SharedClientMaker = ClientOperations& (*)();
void SetSharedClient(SharedClientMaker maker);
ClientOperations* SharedClient();
// The shared client if it was made already; none is made.
ClientOperations* ExistingSharedClient();
using ExistingClientGetter = ClientOperations* (*)();
void SetExistingSharedClient(ExistingClientGetter getter);

} // namespace qxd
