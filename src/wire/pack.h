// Numeric packing: everything after the first comma of a server message is
// packed two symbols to a byte over the alphabet "0123456789-+.,E" (code 15:
// no symbol). The part up to and including the first comma travels as is.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace qxd {

inline constexpr char PackAlphabet[] = "0123456789-+.,E";

// The unpacked form of `s`. Never fails: every byte maps to zero, one or two
// symbols.
QByteArray DeCompress(QByteArrayView s);
// The same, written into `out` (cleared first) so a caller can reuse its
// storage across messages.
void DeCompress(QByteArrayView s, QByteArray& out);

// The packed form of `s`; body characters outside the alphabet are dropped.
QByteArray Compress(QByteArrayView s);

} // namespace qxd
