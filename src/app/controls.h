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
    QByteArray ServerIP = "192.168.0.1";
    QByteArray ServerPort = "1400";
    QByteArray UserName;
    QByteArray Password; // never written anywhere
    QByteArray HistIp = "192.168.0.1";
    QByteArray HistPort = "11000";
    std::int16_t TryReconnectV = 0; // 0 unticked, 1 ticked, 2 greyed

    // Captions and texts the program writes.
    QByteArray Caption = "Quvantix Client";
    QByteArray Command1 = "Logon";
    QByteArray Label1;
    QByteArray Label2 = "Label2";
    QByteArray NClients = "NClients";
    QByteArray Text1;
    bool loghistVisible = false;

    // Counters shown as plain decimal once set; their design text until then.
    std::optional<std::int64_t> NReceived;  // "NReceived" until set
    std::optional<std::int64_t> NReceivedH; // "NReceived" until set
    std::optional<std::int64_t> Cont1;      // empty until set
    Back Cont1Back = Back::Default;
};

} // namespace qxd
