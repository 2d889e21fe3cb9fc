// The quote fields, listed once: the property a host reads, the hand-off
// field the record parsers write, and its type, in the order of the host's
// interface. Everything that copies, declares, reads or sends a quote
// expands this list, so a new field is one line here.
//
//     #define FIELD(Property, handOffField, Type) ...
//     QXD_QUOTE_FIELDS(FIELD)
#pragma once

#include <QByteArray>

#define QXD_QUOTE_FIELDS(X)                                                                        \
    X(Simbolo, vSimbolo, QByteArray)                                                               \
    X(Last, vLast, float)                                                                          \
    X(LastS, vLastS, float)                                                                        \
    X(Bid, vBid, float)                                                                            \
    X(Ask, vAsk, float)                                                                            \
    X(AskS, vAskS, float)                                                                          \
    X(BidS, vBidS, float)                                                                          \
    X(Change, vChange, float)                                                                      \
    X(OpenV, vOpen, float)                                                                         \
    X(High, vHi, float)                                                                            \
    X(Low, vLow, float)                                                                            \
    X(Previous, vPrevious, float)                                                                  \
    X(OInt, vOInt, float)                                                                          \
    X(Vol, vVol, float)                                                                            \
    X(TimeV, vTime, float)
