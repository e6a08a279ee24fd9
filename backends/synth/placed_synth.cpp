#include "placed_synth.h"

#include <algorithm>
#include <cmath>

namespace tambrel::backends {

namespace {

// How far ahead a stream-clocked stamp may point before it is taken for a clock that
// jumped and played at once rather than held (and everything behind it with it). Through
// JACK the MIDI output's rule decides (jack_placement.h).
constexpr double kClockHoldSeconds = 0.5;

void clear(float* left, float* right, int frames) noexcept {
    std::fill(left, left + frames, 0.0f);
    std::fill(right, right + frames, 0.0f);
}

} // namespace

PlacedSynth::PlacedSynth(Placement placement) noexcept
    : placement_(placement), streamClock_(StreamClock::forSoundServer(kStreamSampleRate)) {}

PlacedSynth::~PlacedSynth() = default;

bool PlacedSynth::start(const std::string& soundfont, double sampleRate) {
    if (synth_ == nullptr || played_ || synth_->sampleRate() != sampleRate) {
        synth_.reset();
        synth_ = GmSynth::create(soundfont, sampleRate);
        played_ = false;
    }
    pending_.discard();
    streamFrame_ = 0;
    streamClock_ = StreamClock::forSoundServer(sampleRate);
    return synth_ != nullptr;
}

void PlacedSynth::stop() noexcept {
    synth_.reset();
}

void PlacedSynth::abandon() noexcept {
    (void)synth_.release();
}

bool PlacedSynth::pushAtMoment(const midiout::TimedMessage& message) noexcept {
    return push(message, Stamp::Moment, nanosOf(message.due));
}

bool PlacedSynth::pushAtJackFrame(const midiout::TimedMessage& message,
                                  std::uint32_t frame) noexcept {
    return push(message, Stamp::JackFrame, frame);
}

bool PlacedSynth::pushAtStreamFrame(const midiout::TimedMessage& message,
                                    std::int64_t frame) noexcept {
    return push(message, Stamp::StreamFrame, frame);
}

bool PlacedSynth::pushAtRelease(const midiout::TimedMessage& message, std::uint32_t offset,
                                std::uint8_t start) noexcept {
    return push(message, Stamp::Release, offset, start);
}

bool PlacedSynth::push(const midiout::TimedMessage& message, Stamp stamp, std::int64_t at,
                       std::uint8_t start) noexcept {
    if (!pending_.push({at, message.bytes, message.size, stamp, start})) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

template <typename OffsetOf>
void PlacedSynth::renderPlaced(int frames, float* left, float* right, OffsetOf offsetOf,
                               int unheard) noexcept {
    played_ = true;
    int rendered = 0;
    while (const Timed* timed = pending_.front()) {
        const std::int64_t stampOffset = offsetOf(*timed);
        if (stampOffset == kDropped) {
            pending_.pop();
            continue;
        }
        std::int64_t offset = placement_(stampOffset);
        if (offset >= frames) {
            break; // a later block's, and so is everything behind it
        }
        if (offset < unheard) {
            if (unheard >= frames) {
                break; // none of this block is heard: the first frame that is, is later
            }
            late_.fetch_add(1, std::memory_order_relaxed);
            offset = unheard;
        }
        // Never before the message ahead of it.
        const int at = std::max(rendered, static_cast<int>(offset));
        synth_->renderAdd(at - rendered, left + rendered, right + rendered);
        rendered = at;
        synth_->apply({timed->bytes.data(), timed->size});
        pending_.pop();
    }
    synth_->renderAdd(frames - rendered, left + rendered, right + rendered);
    streamFrame_ += frames;
}

void PlacedSynth::renderJackPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left,
                                   float* right, JackRelease release) noexcept {
    const auto period = static_cast<std::int64_t>(frames);
    clear(left, right, static_cast<int>(frames));
    // The same delay as the JACK MIDI output's, so that both keep the same time.
    const auto rate = static_cast<std::uint32_t>(synth_->sampleRate());
    const std::int64_t delay = jackDelayFrames(frames, rate);
    const std::int64_t hold = jackHoldFrames(frames, rate);
    renderPlaced(static_cast<int>(frames), left, right, [&](const Timed& timed) {
        // The JACK MIDI output's rules: its delay after the stamp, or a start's step from its
        // release, and nothing due after a followed transport stopped. Order within the block
        // is kept by renderPlaced itself.
        if (timed.stamp != Stamp::Release &&
            cutByStop(static_cast<std::uint32_t>(timed.at), delay, hold, release, timed.bytes)) {
            return kDropped;
        }
        const JackPlacement placed =
            timed.stamp == Stamp::Release
                ? placeReleased(timed.at, timed.start, release, cycleStart, frames, 0)
                : placeInPeriod(static_cast<std::uint32_t>(timed.at), cycleStart, frames, delay,
                                hold, 0);
        if (placed.hold) {
            return period;
        }
        if (placed.drop) {
            return kDropped;
        }
        return placed.late ? std::int64_t{-1} : placed.offset;
    });
}

void PlacedSynth::renderStream(std::int64_t nanos, int frames, float* left, float* right,
                               int waitFrames, int unheard) noexcept {
    // The line follows the frames handed to the server by each callback's end: a stream's
    // first request fills the server's whole buffer at once, and from then on the frames
    // handed over keep pace with the frames played.
    streamClock_.update(nanos, streamFrame_ + frames);
    const auto holdLimit = static_cast<std::int64_t>(synth_->sampleRate() * kClockHoldSeconds);
    clear(left, right, frames);
    renderPlaced(
        frames, left, right,
        [&](const Timed& timed) -> std::int64_t {
            if (timed.stamp == Stamp::StreamFrame) {
                return timed.at - streamFrame_;
            }
            const auto frame =
                static_cast<std::int64_t>(std::floor(streamClock_.frameAt(timed.at)));
            const std::int64_t offset = frame + kClockLatencyFrames + waitFrames - streamFrame_;
            return offset < holdLimit ? offset : 0;
        },
        std::clamp(unheard, 0, frames));
}

bool PlacedSynth::mayRest() const noexcept {
    return synth_->rungOut() && pending_.front() == nullptr;
}

} // namespace tambrel::backends
