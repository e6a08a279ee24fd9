#pragma once
// An up-down spinner's state: a range, a position, and whether a click past either end
// wraps around. The window's arrow buttons drive it; the program may set it directly.

#include <algorithm>

namespace tambrel::engine {

class Spinner {
public:
    constexpr Spinner(int min, int max, int position, bool wraps) noexcept
        : min_(min), max_(max), position_(position), wraps_(wraps) {}

    constexpr int min() const noexcept { return min_; }
    constexpr int max() const noexcept { return max_; }
    constexpr int position() const noexcept { return position_; }
    constexpr bool wraps() const noexcept { return wraps_; }

    // A position set by the program is kept within the range.
    constexpr void setPosition(long long position) noexcept {
        position_ = static_cast<int>(std::clamp<long long>(position, min_, max_));
    }
    constexpr void setMax(int max) noexcept {
        max_ = std::max(max, min_);
        setPosition(position_);
    }
    // One arrow click, after the changing notification has run.
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
