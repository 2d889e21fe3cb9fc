// The download list: queued requests for historic series, one slot each,
// with their start and end dates beside them in DownDates.
#pragma once

#include <QByteArray>
#include <QHash>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace qxd {

struct DownItem {
    QByteArray S; // the symbol as the host gave it
    float Ty = 0; // interval code: 1 one-minute, -1 daily, N > 1 N-minute bars
    // Pending: a symbol that is not empty after trimming and a code other
    // than 0. A finished item is empty with code 0.
    bool pending() const;
};

class DownList {
public:
    // Positions count from 1.
    std::int32_t add(const QByteArray& s, float ty);
    std::int32_t find(const QByteArray& s, float ty) const;
    DownItem item(std::int32_t i) const;
    std::int32_t count() const { return std::int32_t(items_.size()); }
    void set(const QByteArray& s, float ty, std::int32_t i);
    void clear();

    // The first pending slot, 0 if none. Slots before the last one found
    // are not looked at again unless DownListSet makes one pending, so a
    // list worked through from the front costs one look per slot.
    std::int32_t firstPending();

    // Queues a download; a symbol and code already queued keep their first
    // dates.
    void queue(const QByteArray& s, float ty, double di, double df);

    // DownDates: column i holds the start (row 1) and end (row 2) date of
    // slot i. It grows with the list and shrinks only when reset.
    std::int32_t dateColumns() const { return std::int32_t(dates_.size()); }
    // Changes with every change of the list (for those who show it).
    std::uint64_t generation() const { return generation_; }
    double startDate(std::int32_t i) const { return column(i)[0]; }
    double endDate(std::int32_t i) const { return column(i)[1]; }
    // Two rows by one column of zeros.
    void resetDates() { dates_.assign(1, {0, 0}); }

private:
    // Where each symbol and code stands, in ascending order, so that a
    // lookup does not walk a long list: hosts queue whole markets. Codes
    // compare as floats: 0 and -0 are one code, and NaN matches nothing
    // (such items are not indexed).
    struct Key {
        QByteArray s;
        quint32 ty;
        bool operator==(const Key&) const = default;
        friend size_t qHash(const Key& k, size_t seed) { return qHashMulti(seed, k.s, k.ty); }
    };
    static std::optional<Key> key(const QByteArray& s, float ty);
    void index(const DownItem& item, std::int32_t pos);
    void unindex(const DownItem& item, std::int32_t pos);

    std::array<double, 2> column(std::int32_t i) const;
    std::vector<DownItem> items_;
    std::uint64_t generation_ = 0;
    QHash<Key, std::vector<std::int32_t>> where_;
    std::size_t firstPending_ = 0; // no slot before it is pending
    std::vector<std::array<double, 2>> dates_;
};

} // namespace qxd
