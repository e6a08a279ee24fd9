#include "stream_clock.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tambrel::backends {

namespace {

// A callback this far off the line is not jitter: the stream ran dry or the machine
// stood still, and the stream's frames and the clock have a new relation.
constexpr double kRestartNanos = 50e6;

constexpr double kMaxOmega = 0.5;

constexpr double kMaxRateError = 1e-3;

// How closely the line follows a sound server's callbacks. A busy machine delays a sound
// server's requests by milliseconds, several in a row and then in a burst: a narrow loop
// averages them out (at 1 Hz the line still swayed by a millisecond on a loaded machine).
// In the stream's first moments it follows them much more closely, to lock on within a
// tenth of a second or so.
constexpr double kSoundServerBandwidthHz = 0.3;
constexpr double kSoundServerStartBandwidthHz = 10.0;
constexpr double kSoundServerStartSeconds = 0.25;

} // namespace

StreamClock StreamClock::forSoundServer(double sampleRate) noexcept {
    return StreamClock(sampleRate, kSoundServerBandwidthHz, kSoundServerStartBandwidthHz,
                       kSoundServerStartSeconds);
}

StreamClock::StreamClock(double sampleRate, double bandwidthHz, double startBandwidthHz,
                         double startSeconds) noexcept
    : sampleRate_(sampleRate), bandwidthHz_(bandwidthHz), startBandwidthHz_(startBandwidthHz),
      startFrames_(static_cast<std::int64_t>(startSeconds * sampleRate)) {}

void StreamClock::reset() noexcept {
    started_ = false;
    restarts_ = 0;
}

void StreamClock::restart(std::int64_t nanos, std::int64_t frame) noexcept {
    origin_ = nanos;
    lineTime_ = 0.0;
    lineFrame_ = frame;
    firstFrame_ = frame;
    nanosPerFrame_ = 1e9 / sampleRate_;
    started_ = true;
}

void StreamClock::update(std::int64_t nanos, std::int64_t frame) noexcept {
    if (!started_) {
        restart(nanos, frame);
        return;
    }
    const std::int64_t frames = frame - lineFrame_;
    if (frames <= 0) {
        return; // no new frames: nothing to learn
    }
    const double predicted = lineTime_ + static_cast<double>(frames) * nanosPerFrame_;
    const double error = static_cast<double>(nanos - origin_) - predicted;
    if (std::fabs(error) > kRestartNanos) {
        ++restarts_;
        restart(nanos, frame);
        return;
    }
    // The second-order loop of "Using a DLL to filter time" (F. Adriaensen), with the
    // loop's period taken from the frames since the last update, so that callbacks of any
    // size weigh by the time they cover. A long stretch between updates (a large request)
    // would make the loop overshoot: it never moves by more than a loop of this gain would.
    const double bandwidth = frame - firstFrame_ < startFrames_ ? startBandwidthHz_ : bandwidthHz_;
    const double omega = std::min(kMaxOmega, 2.0 * std::numbers::pi * bandwidth *
                                                 static_cast<double>(frames) / sampleRate_);
    // A callback that comes later or earlier than a period's worth is a server that
    // stalled, or caught up after one: it counts as a period's worth, so that one stall
    // does not tilt the line.
    const double nominal = 1e9 / sampleRate_;
    const double reach = static_cast<double>(frames) * nominal;
    const double counted = std::clamp(error, -reach, reach);
    lineTime_ = predicted + std::numbers::sqrt2 * omega * counted;
    lineFrame_ = frame;
    // The stream's rate is the sample rate within what sound cards' crystals stray.
    nanosPerFrame_ =
        std::clamp(nanosPerFrame_ + omega * omega * counted / static_cast<double>(frames),
                   nominal * (1.0 - kMaxRateError), nominal * (1.0 + kMaxRateError));
}

double StreamClock::frameAt(std::int64_t nanos) const noexcept {
    return static_cast<double>(lineFrame_) +
           (static_cast<double>(nanos - origin_) - lineTime_) / nanosPerFrame_;
}

} // namespace tambrel::backends
