// The widget of the main window: shows the client's Controls and writes the
// user's edits back into them. It holds no state of its own.
#pragma once

#include <QElapsedTimer>
#include <QWidget>

class QLineEdit;
class QLabel;
class QPushButton;
class QCheckBox;
class QTimer;

namespace qxd {

class ClientCore;

// Whether the window's periodic refresh may run now. A refresh holds the
// thread that reads the quotes for `costUs` (its own work and the repaint it
// causes); the feed delivered `feedBytes` in the last `tickMs`. A refresh
// that would let more than half a chunk's limit pile up in the socket waits,
// since a chunk above the limit costs complete quotes, but never for more
// than `MaxStaleMs` since the last refresh (`staleMs`).
bool RefreshDue(qint64 feedBytes, qint64 tickMs, qint64 costUs, qint64 staleMs);
constexpr qint64 MaxStaleMs = 1000;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(ClientCore& client);
    ~MainWindow() override;

    // Shows the current values; `now` also repaints at once.
    void refresh(bool now = false);
    void makeTopmost();
    void focusUserName();

    // What the last refresh that changed anything cost, with its repaint.
    qint64 refreshCostUs() const { return refreshUs_ + paintUs_; }

    // The child widget with a control's name (for tests and tools).
    QWidget* control(const char* name) const;

    // Client area in pixels: 4545 by 3150 twips at 15 twips a pixel.
    static constexpr int ClientWidth = 303;
    static constexpr int ClientHeight = 210;

signals:
    void logonClicked();
    void logoffHistClicked();

protected:
    void closeEvent(QCloseEvent* e) override;
    bool event(QEvent* e) override;

private:
    ClientCore& c_;
    QLineEdit *serverHost_, *serverPort_, *userName_, *password_, *historicHost_, *historicPort_,
        *lastMessage_, *handOffBox_;
    QLabel *statusLabel_, *messageLabel_, *bufferLabel_, *receivedLabel_, *receivedHistoricLabel_,
        *clientsLabel_;
    QPushButton *logonButton_, *hideButton_, *logoffHistButton_;
    QCheckBox* reconnectBox_;
    QTimer *poll_, *heldTimer_;
    int bufferBack_ = -1;

    // Pacing of the periodic refresh (see RefreshDue).
    void tick();
    QElapsedTimer sinceRefresh_, tickClock_;
    qint64 tickBytes_ = 0;
    qint64 refreshUs_ = 0, paintUs_ = 0; // the last refresh's work and repaint
    bool paintPending_ = false;          // a refresh changed what is shown
    // A refresh (see tick()) and a repaint (see event()) held for the moment
    // after the next read of a fast feed, for MaxHeldMs at most.
    static constexpr int MaxHeldMs = 5;
    void holdUntilRead();
    void releaseHeld();
    bool refreshHeld_ = false, held_ = false, flushing_ = false;
};

} // namespace qxd
