// The hand-off: the one contract between the protocol sessions, which write
// it, and the automation side, which reads it. A writer sets the fields its kind carries, sets
// vType, then writes a text into Data; every write of Data, changed text or not, notifies every
// bound listener synchronously, in bind order, before the writer goes on.
#pragma once

#include "handoff/quote_fields.h"

#include <QByteArray>

#include <cstdint>
#include <vector>

namespace qxd {

class HandOff;

class HandOffListener {
public:
    virtual void handOff(const HandOff& h) = 0;

protected:
    ~HandOffListener() = default;
};

// Kinds of hand-off (vType).
enum HandOffKind : std::int16_t {
    KindTrade = 0,
    KindTime = 1,
    KindLogon = 2,
    KindComplete = 3,
    KindRequested = 4,
    KindDownload = 5,
};

class HandOff {
public:
    // The quote fields (vTime is never written: the time of a quote is not
    // sent), then the fields of the other kinds.
#define QXD_HANDOFF_FIELD(Property, field, Type) Type field{};
    QXD_QUOTE_FIELDS(QXD_HANDOFF_FIELD)
#undef QXD_HANDOFF_FIELD
    double vQuvantixServerDateTime = 0;
    std::int16_t vType = 0;
    std::int16_t vTicks = 0;
    float VInterval = 0;
    QByteArray Diretorio; // the host's data folder, ending in "/" unless empty

    // The text of the hand-off box; only its writes count, not its content.
    const QByteArray& Data() const {
        return data_;
    }
    void setData(const QByteArray& text);
    // The same for the text `a` + " " + `b`, built in the box's own storage.
    void setData(QByteArrayView a, QByteArrayView b);

    // A listener bound during a notification hears from the next write on;
    // one unbound during a notification is not called again.
    void bind(HandOffListener* l);
    void unbind(HandOffListener* l);
    // Nobody hears from the next write on, the notification running included.
    void unbindAll();
    bool isBound(const HandOffListener* l) const;
    std::size_t listenerCount() const;

    // Number of writes of Data so far.
    std::uint64_t writes() const {
        return writes_;
    }

private:
    void notify();
    QByteArray data_;
    std::vector<HandOffListener*> listeners_;
    int notifying_ = 0;
    std::uint64_t writes_ = 0;
};

} // namespace qxd
