#include "frame_line.h"

#include <algorithm>
#include <cmath>

namespace tambrel::backends {

namespace {

constexpr double kWrap = 4294967296.0; // frame counters wrap at 2^32

} // namespace

void FrameLine::follow(std::uint32_t frame, std::int64_t nanos) noexcept {
    double offset = static_cast<double>(frame) - nominal(nanos);
    if (ready()) {
        const double predicted = nominal(nanos) + this->offset();
        const double whole = std::floor(predicted);
        const auto predictedFrame = static_cast<std::uint32_t>(
            static_cast<std::uint64_t>(static_cast<std::int64_t>(whole)) & 0xFFFFFFFFu);
        const double error =
            static_cast<double>(static_cast<std::int32_t>(frame - predictedFrame)) -
            (predicted - whole);
        meanError_ += (error - meanError_) / kMeanPeriods;
        const bool moved = std::fabs(error) > kJumpSeconds * rate_ ||
                           std::fabs(meanError_) > kStraySeconds * rate_;
        if (moved) {
            meanError_ = 0;
        }
        offset = this->offset() + (moved ? error : std::clamp(error, -kSlewFrames, kSlewFrames));
    }
    offset = std::fmod(offset, kWrap);
    offset_.store(std::llround(offset * kFraction), std::memory_order_release);
    ready_.store(true, std::memory_order_release);
}

std::uint32_t FrameLine::frameAt(std::int64_t nanos, std::int64_t offset) const noexcept {
    const double frame =
        std::fmod(std::round(nominal(nanos) + static_cast<double>(offset) / kFraction), kWrap);
    const auto whole = static_cast<std::int64_t>(frame);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(whole) & 0xFFFFFFFFu);
}

std::int64_t FrameLine::momentOf(std::uint32_t frame, std::int64_t nowNanos,
                                 std::int64_t fixedOffset) const noexcept {
    const double offset = static_cast<double>(fixedOffset) / kFraction;
    const double now = std::floor(nominal(nowNanos) + offset);
    const auto nowFrame = static_cast<std::uint32_t>(
        static_cast<std::uint64_t>(static_cast<std::int64_t>(now)) & 0xFFFFFFFFu);
    const double target = now + static_cast<std::int32_t>(frame - nowFrame);
    return origin_ + std::llround((target - offset) * 1e9 / rate_);
}

} // namespace tambrel::backends
