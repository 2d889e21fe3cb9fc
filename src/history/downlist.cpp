#include "history/downlist.h"

#include "wire/frame.h"

namespace qxd {

bool DownItem::pending() const {
    return !TrueTrim(S).isEmpty() && Ty != 0;
}

std::int32_t DownList::DownListAdd(const QByteArray& s, float ty) {
    items_.push_back({s, ty});
    return std::int32_t(items_.size());
}

std::int32_t DownList::DownListFind(const QByteArray& s, float ty) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].S == s && items_[i].Ty == ty) return std::int32_t(i + 1);
    return 0;
}

DownItem DownList::DownListGet(std::int32_t i) const {
    if (i < 1 || i > DownListCount()) return {};
    return items_[i - 1];
}

void DownList::DownListSet(const QByteArray& s, float ty, std::int32_t i) {
    if (i < 1 || i > DownListCount()) return;
    items_[i - 1] = {s, ty};
}

void DownList::RequestHistoricData(const QByteArray& s, float ty, double di, double df) {
    if (DownListFind(s, ty) > 0) return;
    const std::int32_t c = dateColumns();
    const std::int32_t k = DownListAdd(s, ty);
    if (k > c) dates_.resize(k, {0, 0});
    dates_[k - 1] = {di, df};
}

std::array<double, 2> DownList::column(std::int32_t i) const {
    if (i < 1 || i > dateColumns()) return {0, 0};
    return dates_[i - 1];
}

} // namespace qxd
