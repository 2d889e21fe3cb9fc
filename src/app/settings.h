// The settings file QXDATA.INI: the feed and historic server addresses, the
// user name and the reconnect option. The password is never stored.
#pragma once

#include "app/controls.h"

#include <QString>

namespace qxd {

// $XDG_CONFIG_HOME/QXDATA.INI, or $HOME/.config/QXDATA.INI.
QString DefaultSettingsPath();

// The load step's reads, in order, into the boxes. A key with an empty value
// (or an empty default) leaves the box as it is. Returns an error text when
// the Reconnect value is outside 0..2; the boxes read before it keep their
// values and the check box is left as it was.
QString LoadSettings(const QString& path, Controls& c);

// The unload step's writes: the six keys, Reconnect as the user had set it.
// Returns an error text when the file could not be written.
QString SaveSettings(const QString& path, const Controls& c);

} // namespace qxd
