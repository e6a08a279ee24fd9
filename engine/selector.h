#pragma once
// A choice made by clicks up and down: a position within a range, one step per click,
// wrapping past either end or not. The device, the tempo and the time signature are each
// chosen this way, and each acts on the position before the latest click.

#include <algorithm>

namespace tambrel::engine {

class Selector {
public:
    constexpr Selector(int min, int max, int position, bool wraps) noexcept
        : min_(min), max_(max), position_(position), wraps_(wraps) {}

    constexpr int min() const noexcept { return min_; }
    constexpr int max() const noexcept { return max_; }
    constexpr int position() const noexcept { return position_; }
    constexpr bool wraps() const noexcept { return wraps_; }

    // A position set by the program (a file, a rhythm) is kept within the range.
    constexpr void setPosition(long long position) noexcept {
        position_ = static_cast<int>(std::clamp<long long>(position, min_, max_));
    }
    constexpr void setMax(int max) noexcept {
        max_ = std::max(max, min_);
        setPosition(position_);
    }
    // One click, after the choice's own action has read the position before it.
    constexpr void step(bool up) noexcept {
        if (up) {
            position_ = position_ < max_ ? position_ + 1 : (wraps_ ? min_ : max_);
        } else {
            position_ = position_ > min_ ? position_ - 1 : (wraps_ ? max_ : min_);
        }
    }

private:
    int min_;
    int max_;
    int position_;
    bool wraps_;
};

} // namespace tambrel::engine
