#include "handoff/handoff.h"

#include <algorithm>

namespace qxd {

void HandOff::setData(const QByteArray& text) {
    data_ = text;
    notify();
}

void HandOff::setData(QByteArrayView a, QByteArrayView b) {
    data_.resize(0); // keeps the storage unless someone else shares it
    data_.append(a).append(' ').append(b);
    notify();
}

void HandOff::notify() {
    ++writes_;
    ++notifying_;
    // Listeners bound meanwhile are appended past `n`; unbound ones become
    // null and are swept when the outermost notification ends.
    const std::size_t n = listeners_.size();
    for (std::size_t i = 0; i < n; ++i)
        if (HandOffListener* l = listeners_[i]) l->handOff(*this);
    if (--notifying_ == 0)
        listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), nullptr),
                         listeners_.end());
}

void HandOff::bind(HandOffListener* l) {
    if (l && !isBound(l)) listeners_.push_back(l);
}

void HandOff::unbind(HandOffListener* l) {
    auto it = std::find(listeners_.begin(), listeners_.end(), l);
    if (it == listeners_.end()) return;
    if (notifying_ > 0)
        *it = nullptr;
    else
        listeners_.erase(it);
}

void HandOff::unbindAll() {
    if (notifying_ > 0)
        std::fill(listeners_.begin(), listeners_.end(), nullptr);
    else
        listeners_.clear();
}

bool HandOff::isBound(const HandOffListener* l) const {
    return l && std::find(listeners_.begin(), listeners_.end(), l) != listeners_.end();
}

std::size_t HandOff::listenerCount() const {
    return static_cast<std::size_t>(
        std::count_if(listeners_.begin(), listeners_.end(), [](auto* l) { return l != nullptr; }));
}

} // namespace qxd
