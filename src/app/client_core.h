// The client as one piece: the one place that wires sockets, timers, the two
// protocol sessions, the hand-off and the window together, and the owner of
// their state. It is the shared client every automation object forwards to
// (ClientOperations) and the window's side of both sessions (their panels):
// what a session shows lands in `controls`, which the window displays.
#pragma once

#include "app/controls.h"
#include "app/tuning.h"
#include "automation/client_operations.h"
#include "feed/session.h"
#include "handoff/handoff.h"
#include "history/session.h"
#include "wire/sender.h"
#include "wire/session_support.h"
#include "wire/socket.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

namespace qxd {

class MainWindow;

// Timer intervals; tests shorten them, the program keeps these.
struct ClientTiming {
    int reconnectMs = 30000;
    int schedulerMs = 2000;
};

struct ClientOptions {
    ClientTiming timing;
    TuningMode tuning = TuningModeFromEnvironment();
    QString settingsPath;                      // empty: DefaultSettingsPath()
    std::unique_ptr<SocketComponent> feed;     // null: a TCP socket
    std::unique_ptr<SocketComponent> historic; // null: a TCP socket
};

// A QTimer as a session's timer.
class QtSessionTimer final : public SessionTimer {
public:
    QTimer timer;
    void start(int ms) override { timer.start(ms); }
    void stop() override { timer.stop(); }
    void setInterval(int ms) override { timer.setInterval(ms); }
    bool isActive() const override { return timer.isActive(); }
};

class ClientCore : public QObject,
                   public ClientOperations,
                   private FeedPanel,
                   private HistoricPanel {
    Q_OBJECT
    // Declared first: the sessions below hold references to these.
    std::unique_ptr<SocketComponent> feedSocket_;
    std::unique_ptr<SocketComponent> historicSocket_;

public:
    explicit ClientCore(ClientOptions options = {}, QObject* parent = nullptr);
    ~ClientCore() override;

    // The shared instance, created on first use.
    static ClientCore* instance();
    // The shared instance if there is one (none is created).
    static ClientCore* existingInstance();
    // Deletes the shared instance (it is created anew on next use).
    static void destroyInstance();
    // Options of the shared instance (sockets included: benchmarks and tests
    // run it over fakes), set before its first use.
    static void setInstanceOptions(ClientOptions o);
    static void setInstanceTiming(const ClientTiming& t);

    // The load step, once: settings read into the boxes, the window made
    // topmost and placed, both timers started. Returns the error that
    // stopped it (a Reconnect value outside 0..2), or an empty text. Once the
    // client has stopped, nothing loads it again.
    QString ensureLoaded();
    bool isLoaded() const { return loaded_; }

    // Shows the window (loading it first); returns the load error, if any.
    QString showWindow();
    // Shows the window and restores it from minimised.
    QString restoreWindow();
    // The "Hide" button: minimises the window.
    void hideButton();
    // The Logon/Logoff button.
    void logonButton();

    // The unload step: settings written back, "#N" handed to the sender,
    // the feed socket closed; timers stopped and the widget closed. Does
    // nothing when the window is not loaded.
    void unloadWindow();

    // ClientOperations.
    QString load() override { return ensureLoaded(); }
    QString show(bool restore) override { return restore ? restoreWindow() : showWindow(); }
    QString addSymbol(const QByteArray& symbol) override;
    QString requestSymbol(const QByteArray& symbol) override;
    void logOff() override { feed.logOff(); }
    void queueDownload(const QByteArray& symbol, float interval, double from, double to) override;
    HandOff& handOff() override { return handoff; }
    void unload() override { unloadWindow(); }
    void stop() override;
    bool stopped() const override { return stopped_; }

    // A server note in a modal box with one OK button; returns when the user
    // closed it. Tests replace the box through `messageBox`.
    std::function<void(const QByteArray&)> messageBox;
    // Redraws the window now, when there is one.
    void repaintNow() override;
    // Bytes read from the feed so far (the window paces its refresh by them).
    qint64 feedBytesRead = 0;
    // Called once, right after the next read of the feed (which then holds
    // nothing more): the moment furthest from the next bytes.
    std::function<void()> afterRead;

    // Brings the host's status (ClientStatus) up to date with what is read
    // rather than reported: counters, symbols, downloads, a stalled
    // transfer, overloads. Runs on a timer four times a second.
    void refreshStatus();
    static constexpr int StatusIntervalMs = 250;
    // Milliseconds on a monotonic clock, for the status's time rules (tests
    // replace it).
    std::function<qint64()> statusClock;

    const ClientTiming& timing() const { return timing_; }
    const QString& settingsPath() const { return settingsPath_; }
    MainWindow* view() const { return view_; }
    Tuning& tuning() { return tuning_; }
    const Tuning& tuning() const { return tuning_; }

    // State, owned here.
    Controls controls;
    HandOff handoff;
    SocketComponent& feedSocket;
    SocketComponent& historicSocket;
    FeedSender sender;
    QtSessionTimer reconnectTimer;
    QtSessionTimer schedulerTimer;
    FeedSession feed;
    HistoricSession history;

signals:
    void loadedChanged(bool loaded);

private:
    // Both panels.
    QByteArray userName() const override { return controls.userName; }
    QByteArray password() const override { return controls.password; }
    void setStatusLine(const QByteArray& text) override;
    void setMessageLine(const QByteArray& text) override;
    void serverNote(const QByteArray& text) override;
    void setLastMessage(const QByteArray& text) override { controls.lastMessage = text; }
    void showNote(const QByteArray& text) override;
    // The feed's panel.
    QByteArray serverHost() const override { return controls.serverHost; }
    QByteArray serverPort() const override { return controls.serverPort; }
    bool reconnectTicked() const override { return controls.reconnect != 0; }
    void setLogonCaption(const QByteArray& text) override { controls.logonCaption = text; }
    void setCaption(const QByteArray& text) override { controls.caption = text; }
    void setClients(const QByteArray& text) override;
    void setReceived(std::int32_t count) override;
    void setBufferLeft(qsizetype bytes) override { controls.bufferLeft = bytes; }
    void setOverloaded(bool overloaded) override {
        controls.bufferLeftBack = overloaded ? Back::Yellow : Back::LightGrey;
    }
    void focusUserName() override;
    void logonStarted() override { history.resetReceived(); }
    void chunkRead(qint64 bytes) override;
    void readingStopped() override { tuning_.readingStopped(); }
    void stateChanged(FeedState state) override;
    // The historic panel.
    QByteArray historicHost() const override { return controls.historicHost; }
    QByteArray historicPort() const override { return controls.historicPort; }
    void setLogoffHistVisible(bool visible) override { controls.logoffHistVisible = visible; }
    void setHistoricReceived(std::int32_t count) override { controls.receivedHistoric = count; }
    void stateChanged(HistoricState state) override;
    void downloadEnded(const QByteArray& symbol, float interval, bool ok,
                       const QByteArray& reason) override;

    void closeView();

    // What the status timer compares with.
    struct StatusMemory {
        std::int32_t received = 0;
        quint64 total = 0;
        qsizetype symbols = -1;
        std::uint64_t downloads = ~0ULL;
        std::int32_t current = -1;
        std::int64_t archiveBytes = -1;
        qint64 bytesSinceMs = 0; // when the archive last grew
        qint64 skipped = 0, dropped = 0; // as last reported as an overload
        qint64 overloadMs = -1;          // when that was
        QHash<std::int32_t, QPair<QByteArray, float>> names; // download slot -> its request
    } statusMemory_;
    QTimer statusTimer_;

    ClientTiming timing_;
    QString settingsPath_;
    Tuning tuning_;
    MainWindow* view_ = nullptr; // owned; made by the load step
    bool loaded_ = false;
    bool stopped_ = false;
};

} // namespace qxd
