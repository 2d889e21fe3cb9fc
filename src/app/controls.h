// What the main window shows and the user edits, as plain values. The
// client's procedures read and write these; the window widget only shows
// them (and writes the user's edits back).
#pragma once

#include <QByteArray>

#include <cstdint>
#include <optional>

namespace qxd {

enum class Back : std::uint8_t { Default, Yellow, LightGrey };

struct Controls {
    // Boxes the user edits. Texts are 8-bit; the widget shows them as Latin-1.
    QByteArray serverHost = "192.168.0.1";
    QByteArray serverPort = "1400";
    QByteArray userName;
    QByteArray password; // never written anywhere
    QByteArray historicHost = "192.168.0.1";
    QByteArray historicPort = "11000";
    std::int16_t reconnect = 0; // the reconnect box: 0 unticked, 1 ticked, 2 greyed

    // Captions and texts the program writes.
    QByteArray caption = "Quvantix Client";
    QByteArray logonCaption = "Logon";
    QByteArray statusLine;
    QByteArray messageLine = "Label2"; // its design text, shown until a message comes
    QByteArray clients = "NClients";
    QByteArray lastMessage;
    bool logoffHistVisible = false;

    // Counters shown as plain decimal once set; their design text until then.
    std::optional<std::int64_t> received;         // "NReceived" until set
    std::optional<std::int64_t> receivedHistoric; // "NReceived" until set
    std::optional<std::int64_t> bufferLeft;       // empty until set
    Back bufferLeftBack = Back::Default;
};

} // namespace qxd
