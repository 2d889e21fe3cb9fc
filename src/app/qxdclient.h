// The main window: the one owner of the client's state. It holds both
// sockets, both timers, the boxes and labels (as plain values), the hand-off
// fields and the subsystems' state; the widget that shows it is a thin view
// made when the window is loaded.
#pragma once

#include "app/controls.h"
#include "handoff/handoff.h"
#include "feed/feed.h"
#include "feed/records.h"
#include "history/historic.h"
#include "wire/sender.h"
#include "wire/socket.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

namespace qxd {

class ClientWindow;

// Timer intervals; tests shorten them, the program keeps these.
struct ClientTiming {
    int timer1 = 30000;
    int timerHist = 2000;
};

struct ClientOptions {
    ClientTiming timing;
    QString settingsPath;                      // empty: DefaultSettingsPath()
    std::unique_ptr<SocketComponent> sock;     // null: a TCP socket
    std::unique_ptr<SocketComponent> sockhist; // null: a TCP socket
};

class QXDClient : public QObject {
    Q_OBJECT
    // Declared first: the socket references below bind to these.
    std::unique_ptr<SocketComponent> sockOwned_;
    std::unique_ptr<SocketComponent> sockhistOwned_;

public:
    using Timing = ClientTiming;
    explicit QXDClient(ClientOptions options = {}, QObject* parent = nullptr);
    ~QXDClient() override;

    // The shared instance, created on first use.
    static QXDClient* instance();
    // The shared instance if there is one (none is created).
    static QXDClient* existingInstance();
    // Deletes the shared instance (it is created anew on next use).
    static void destroyInstance();
    // Timer intervals of the shared instance, set before its first use.
    static void setInstanceTiming(const ClientTiming& t);
    // All options of the shared instance (sockets included: benchmarks and
    // tests run it over fakes), set before its first use.
    static void setInstanceOptions(ClientOptions o);

    // The load step, once: settings read into the boxes, the window made
    // topmost and placed, both timers started. Returns the error that
    // stopped it (a Reconnect value outside 0..2), or an empty text. Once the
    // client has stopped, nothing loads it again.
    QString ensureLoaded();
    bool isLoaded() const { return loaded_; }

    // Shows the window (loading it first); returns the load error, if any.
    QString Show();
    // Shows the window and restores it from minimised.
    QString ShowMe();
    // The "Hide" button: minimises the window.
    void Command2_Click();

    // The unload step: settings written back, "#N" handed to SendToServer,
    // the feed socket closed; timers stopped and the widget closed. Does
    // nothing when the window is not loaded.
    void Unload();

    // The end of the client where the program cannot end (a host that links
    // the library): after the unload, no listener hears another hand-off,
    // both sockets are closed, the timers stopped, the receive loops stop at
    // their next message and nothing loads the window again.
    void stop();
    bool stopped() const { return stopped_; }
    static QString stoppedText();

    // Redraws the widget now (when there is one).
    void repaintNow();
    // Gives the input focus to the user-name box.
    void focusUserName();
    // A server note in a modal box with one OK button; returns when the user
    // closed it. Tests replace the box through `messageBox`.
    void showMessage(const QByteArray& text);
    std::function<void(const QByteArray&)> messageBox;

    const Timing& timing() const { return timing_; }
    const QString& settingsPath() const { return settingsPath_; }
    ClientWindow* view() const { return view_; }

    // State, owned here. Procedures of the subsystems work on these.
    Controls ctl;
    HandOff handoff;
    SocketComponent& sock;
    SocketComponent& sockhist;
    FeedSender sender;
    QuoteRecords records;
    QTimer Timer1;
    QTimer TimerHist;
    std::int32_t ReceivedCountHist = 0;
    FeedConnection feed;
    HistoricConnection hist;

signals:
    void loadedChanged(bool loaded);

private:
    Timing timing_;
    QString settingsPath_;
    ClientWindow* view_ = nullptr; // owned; made by the load step
    bool loaded_ = false;
    bool stopped_ = false;
};

} // namespace qxd
