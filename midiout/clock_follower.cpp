#include "clock_follower.h"

#include <algorithm>
#include <cmath>

namespace tambrel::midiout {

namespace {

// A clock farther from the line than this many times the line's own spread is not jitter.
constexpr double kChangeSpreads = 4.0;
// The least distance taken as a new tempo: the frames a clock's stamp is rounded to, and a
// share of a clock that covers the jitter of a sender whose spread is not known yet.
constexpr double kChangeFrames = 3.0;
constexpr double kChangeShare = 0.15;
// A line needs this many clocks before its spread tells the clock's jitter.
constexpr double kSpreadClocks = 8;
// Silence longer than this many periods: the other program stopped sending, and its next
// clock need not be on the old grid.
constexpr double kSilencePeriods = 4.0;

} // namespace

double clockTempo(double clockFrames, std::uint32_t sampleRate, const OwnTime& own) noexcept {
    if (clockFrames <= 0 || sampleRate == 0) {
        return 0;
    }
    const double stepMs = clockFrames * own.clocksPerStep * 1000.0 / sampleRate;
    return own.tempoConstant / stepMs;
}

void ClockFollower::message(const std::uint8_t* bytes, std::size_t size,
                            std::uint32_t frame) noexcept {
    if (size == 0) {
        return;
    }
    switch (bytes[0]) {
    case 0xF8:
        clock(frame);
        break;
    case 0xFA:
        start();
        break;
    case 0xFB:
        continuePlay();
        break;
    case 0xFC:
        stop();
        break;
    case 0xF2:
        if (size >= 3) {
            songPosition((bytes[1] & 0x7F) | ((bytes[2] & 0x7F) << 7));
        }
        break;
    default:
        break;
    }
}

void ClockFollower::clock(std::uint32_t frame) noexcept {
    const std::int64_t onLine = count_ - first_;
    const auto since = static_cast<std::int32_t>(frame - lastFrame_);
    double y = 0;
    bool aside = false;
    if (onLine > 0) {
        y = frames_[static_cast<std::size_t>((count_ - 1) % kWindow)] + since;
        if (since <= 0 || (period_ > 0 && since > kSilencePeriods * period_)) {
            first_ = count_; // a line of its own
            runSign_ = 0;
            run_ = 0;
        } else if (onLine >= kChangeRun && period_ > 0) {
            if (changedTempo(y - lineAt(count_), count_)) {
                // The run's clocks, this one among them, are the new line.
                first_ = count_ - (kChangeRun - 1);
                for (std::int64_t c = first_; c < count_; ++c) {
                    aside_[static_cast<std::size_t>(c % kWindow)] = false;
                }
            } else {
                aside = run_ > 0;
            }
        }
    }
    frames_[static_cast<std::size_t>(count_ % kWindow)] = y;
    aside_[static_cast<std::size_t>(count_ % kWindow)] = aside;
    lastFrame_ = frame;
    ++count_;
    fit();
    if (pending_) {
        pending_ = false;
        rolling_ = true;
        songOffset_ = count_ - 1 - resume_;
        startCount_ = count_ - 1;
        startSong_ = resume_;
        startFrame_ = frame;
        ++changes_;
    }
    if (rolling_) {
        songClock_ = count_ - 1 - songOffset_;
    }
}

bool ClockFollower::changedTempo(double residual, std::int64_t count) noexcept {
    // A line through few clocks, carried far beyond them, is less sure of where the next
    // clock falls than of where its own clocks are.
    const double dx = static_cast<double>(count) - meanCount_;
    const double reach = std::sqrt(1.0 + 1.0 / fitted_ + dx * dx / sxx_);
    const double threshold = spread_ >= 0
                                 ? std::max(kChangeFrames, kChangeSpreads * spread_ * reach)
                                 : std::max(kChangeFrames, kChangeShare * period_ * reach);
    const int sign = residual > threshold ? 1 : residual < -threshold ? -1 : 0;
    if (sign == 0 || sign != runSign_) {
        runSign_ = sign;
        run_ = sign == 0 ? 0 : 1;
    } else {
        ++run_;
    }
    if (run_ < kChangeRun) {
        return false;
    }
    runSign_ = 0;
    run_ = 0;
    return true;
}

// The least-squares line through the line's clocks (those not set aside), frames against
// their count.
void ClockFollower::fit() noexcept {
    const std::int64_t from = std::max(first_, count_ - kWindow);
    const auto onLine = [this](std::int64_t c) {
        return !aside_[static_cast<std::size_t>(c % kWindow)];
    };
    const auto frameOf = [this](std::int64_t c) {
        return frames_[static_cast<std::size_t>(c % kWindow)];
    };
    double n = 0;
    double sumCount = 0;
    double sumY = 0;
    for (std::int64_t c = from; c < count_; ++c) {
        if (onLine(c)) {
            n += 1;
            sumCount += static_cast<double>(c);
            sumY += frameOf(c);
        }
    }
    if (n < 1) {
        return;
    }
    meanCount_ = sumCount / n;
    lineMean_ = sumY / n;
    double sxy = 0;
    double sxx = 0;
    for (std::int64_t c = from; c < count_; ++c) {
        if (onLine(c)) {
            const double dx = static_cast<double>(c) - meanCount_;
            sxy += dx * (frameOf(c) - lineMean_);
            sxx += dx * dx;
        }
    }
    if (sxx <= 0) {
        return; // one clock: the period known before stays
    }
    fitted_ = n;
    sxx_ = sxx;
    period_ = sxy / sxx;
    if (n < kSpreadClocks) {
        return;
    }
    double squares = 0;
    for (std::int64_t c = from; c < count_; ++c) {
        if (onLine(c)) {
            const double off = frameOf(c) - lineAt(c);
            squares += off * off;
        }
    }
    spread_ = std::sqrt(squares / (n - 2));
}

double ClockFollower::lineAt(std::int64_t count) const noexcept {
    return lineMean_ + period_ * (static_cast<double>(count) - meanCount_);
}

double ClockFollower::framesAfterLatest(std::int64_t songClock) const noexcept {
    if (count_ == 0) {
        return 0;
    }
    const double latest = frames_[static_cast<std::size_t>((count_ - 1) % kWindow)];
    return lineAt(songClock + songOffset_) - latest;
}

void ClockFollower::start() noexcept {
    if (rolling_) {
        ++changes_;
    }
    rolling_ = false;
    pending_ = true;
    resume_ = 0;
}

void ClockFollower::continuePlay() noexcept {
    if (!rolling_) {
        pending_ = true;
    }
}

void ClockFollower::stop() noexcept {
    if (rolling_) {
        resume_ = songClock_ + 1;
    }
    if (rolling_ || pending_) {
        ++changes_;
    }
    rolling_ = false;
    pending_ = false;
}

void ClockFollower::songPosition(int sixteenths) noexcept {
    resume_ = static_cast<std::int64_t>(sixteenths) * kClocksPerSixteenth;
    if (rolling_) {
        // A jump while playing: the next clock is the Pointer's place.
        songOffset_ = count_ - resume_;
        songClock_ = resume_ - 1;
        ++changes_;
    }
}

FollowedGrid clockGrid(const ClockFollower& follower, const OwnTime& own, std::uint32_t sampleRate,
                       std::uint32_t earliest, bool startJustCame) noexcept {
    FollowedGrid grid;
    const int perStep = std::max(own.clocksPerStep, 1);
    const double ownClockFrames = own.periodMs * sampleRate / 1000.0 / perStep;
    const double period = follower.clockFrames();
    grid.tempo = clockTempo(period, sampleRate, own);
    grid.framesPerStep = (period > 0 ? period : ownClockFrames) * perStep;
    grid.rolling = follower.rolling();
    if (!grid.rolling) {
        return grid;
    }
    const std::int64_t latest = follower.latestSongClock();
    const std::int64_t start = follower.startSongClock();
    // The start's step is the one to come while its clock is the latest, or while the period
    // that brought it (a long one may bring the next clocks too) is read.
    if (start % perStep == 0 &&
        (follower.latestStartsSong() || (startJustCame && latest < start + perStep))) {
        grid.anchorStep = start / perStep;
        grid.anchorFrame = follower.startFrame();
        if (static_cast<std::int32_t>(earliest - grid.anchorFrame) > 0) {
            grid.anchorFrame = earliest;
        }
        return grid;
    }
    grid.anchorStep = latest / perStep + 1;
    const std::int64_t clock = grid.anchorStep * perStep;
    const double after = period > 0 ? follower.framesAfterLatest(clock)
                                    : static_cast<double>(clock - latest) * ownClockFrames;
    grid.anchorFrame = follower.latestFrame() + static_cast<std::uint32_t>(std::llround(after));
    return grid;
}

} // namespace tambrel::midiout
