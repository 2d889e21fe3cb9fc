#include "history/downlist.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace qxd {

bool DownItem::pending() const {
    // A symbol with something besides blanks and NULs (what TrueTrim keeps).
    return Ty != 0 && std::any_of(S.begin(), S.end(), [](char c) { return c != ' ' && c != 0; });
}

std::optional<DownList::Key> DownList::key(const QByteArray& s, float ty) {
    if (std::isnan(ty)) return std::nullopt;
    return Key{s, std::bit_cast<quint32>(ty == 0 ? 0.0f : ty)};
}

void DownList::index(const DownItem& item, std::int32_t pos) {
    const auto k = key(item.S, item.Ty);
    if (!k) return;
    std::vector<std::int32_t>& at = where_[*k];
    // Slots are mostly added or marked at the end.
    at.insert(std::upper_bound(at.begin(), at.end(), pos), pos);
}

void DownList::unindex(const DownItem& item, std::int32_t pos) {
    const auto k = key(item.S, item.Ty);
    if (!k) return;
    const auto it = where_.find(*k);
    if (it == where_.end()) return;
    std::vector<std::int32_t>& at = *it;
    const auto p = std::lower_bound(at.begin(), at.end(), pos);
    if (p != at.end() && *p == pos) at.erase(p);
    if (at.empty()) where_.erase(it);
}

std::int32_t DownList::add(const QByteArray& s, float ty) {
    ++generation_;
    items_.push_back({s, ty});
    const auto pos = std::int32_t(items_.size());
    index(items_.back(), pos);
    return pos;
}

std::int32_t DownList::find(const QByteArray& s, float ty) const {
    const auto k = key(s, ty);
    if (!k) return 0;
    const auto it = where_.constFind(*k);
    return it == where_.cend() ? 0 : it->front();
}

DownItem DownList::item(std::int32_t i) const {
    if (i < 1 || i > count()) return {};
    return items_[i - 1];
}

void DownList::set(const QByteArray& s, float ty, std::int32_t i) {
    if (i < 1 || i > count()) return;
    ++generation_;
    unindex(items_[i - 1], i);
    items_[i - 1] = {s, ty};
    index(items_[i - 1], i);
    if (items_[i - 1].pending()) firstPending_ = std::min(firstPending_, std::size_t(i - 1));
}

void DownList::clear() {
    ++generation_;
    items_.clear();
    where_.clear();
    firstPending_ = 0;
}

std::int32_t DownList::firstPending() {
    while (firstPending_ < items_.size() && !items_[firstPending_].pending()) ++firstPending_;
    return firstPending_ < items_.size() ? std::int32_t(firstPending_ + 1) : 0;
}

void DownList::queue(const QByteArray& s, float ty, double di, double df) {
    if (find(s, ty) > 0) return;
    const std::int32_t c = dateColumns();
    const std::int32_t k = add(s, ty);
    if (k > c) dates_.resize(k, {0, 0});
    dates_[k - 1] = {di, df};
}

std::array<double, 2> DownList::column(std::int32_t i) const {
    if (i < 1 || i > dateColumns()) return {0, 0};
    return dates_[i - 1];
}

} // namespace qxd
