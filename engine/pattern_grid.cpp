#include "pattern_grid.h"

namespace tambrel::engine {

namespace {
std::uint16_t bit(int cell) {
    return static_cast<std::uint16_t>(1U << (cell - 1));
}
} // namespace

bool PatternGrid::isOn(int track, int cell) const noexcept {
    return valid(track, cell) &&
           (rows_[static_cast<std::size_t>(track - 1)].load(std::memory_order_relaxed) &
            bit(cell)) != 0;
}

void PatternGrid::set(int track, int cell, bool on) noexcept {
    if (!valid(track, cell)) {
        return;
    }
    auto& row = rows_[static_cast<std::size_t>(track - 1)];
    if (on) {
        row.fetch_or(bit(cell), std::memory_order_relaxed);
    } else {
        row.fetch_and(static_cast<std::uint16_t>(~bit(cell)), std::memory_order_relaxed);
    }
}

void PatternGrid::toggle(int track, int cell) noexcept {
    if (valid(track, cell)) {
        rows_[static_cast<std::size_t>(track - 1)].fetch_xor(bit(cell), std::memory_order_relaxed);
    }
}

void PatternGrid::clear() noexcept {
    for (auto& row : rows_) {
        row.store(0, std::memory_order_relaxed);
    }
}

bool PatternGrid::empty() const noexcept {
    for (const auto& row : rows_) {
        if (row.load(std::memory_order_relaxed) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace tambrel::engine
