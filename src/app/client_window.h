// The widget of the main window: shows the client's Controls and writes the
// user's edits back into them. It holds no state of its own.
#pragma once

#include <QWidget>

class QLineEdit;
class QLabel;
class QPushButton;
class QCheckBox;
class QTimer;
class QStyle;

namespace qxd {

class QXDClient;

class ClientWindow : public QWidget {
    Q_OBJECT
public:
    explicit ClientWindow(QXDClient& client);

    // Shows the current values; `now` also repaints at once.
    void refresh(bool now = false);
    void makeTopmost();
    void focusUserName();

    // The child widget with a control's name (for tests and tools).
    QWidget* control(const char* name) const;

    // Client area in pixels: 4545 by 3150 twips at 15 twips a pixel.
    static constexpr int ClientWidth = 303;
    static constexpr int ClientHeight = 210;

signals:
    void command1Clicked();
    void loghistClicked();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    QXDClient& c_;
    QLineEdit *serverIP_, *serverPort_, *userName_, *password_, *histIp_, *histPort_, *text1_,
        *data_;
    QLabel *label1_, *label2_, *cont1_, *nReceived_, *nReceivedH_, *nClients_;
    QPushButton *command1_, *command2_, *loghist_;
    QCheckBox* tryReconnect_;
    QTimer* poll_;
    QStyle* panelStyle_;
    int cont1Back_ = -1;
};

} // namespace qxd
