#include "offline_synth.h"

namespace tambrel::backends {

OfflineSynth::OfflineSynth(std::string soundfont) : soundfont_(std::move(soundfont)) {}

OfflineSynth::~OfflineSynth() = default;

bool OfflineSynth::open() {
    synth_.stop(); // a fresh synth each time
    return synth_.start(soundfont_, PlacedSynth::kStreamSampleRate);
}

void OfflineSynth::close() noexcept {
    synth_.stop();
}

bool OfflineSynth::sendAtFrame(const midiout::TimedMessage& message, std::int64_t frame) noexcept {
    return synth_.started() && synth_.pushAtStreamFrame(message, frame);
}

bool OfflineSynth::sendAt(const midiout::TimedMessage& message) noexcept {
    return synth_.started() && synth_.pushAtMoment(message);
}

bool OfflineSynth::sendAtJackFrame(const midiout::TimedMessage& message,
                                   std::uint32_t frame) noexcept {
    return synth_.started() && synth_.pushAtJackFrame(message, frame);
}

bool OfflineSynth::renderJackPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left,
                                    float* right) noexcept {
    if (!synth_.started()) {
        return false;
    }
    synth_.renderJackPeriod(cycleStart, frames, left, right);
    return true;
}

bool OfflineSynth::render(float* left, float* right, int frames) noexcept {
    return render(left, right, frames, Clock::now());
}

bool OfflineSynth::render(float* left, float* right, int frames,
                          Clock::time_point callbackTime) noexcept {
    if (!synth_.started() || frames < 0) {
        return false;
    }
    synth_.renderStream(PlacedSynth::nanosOf(callbackTime), frames, left, right);
    return true;
}

} // namespace tambrel::backends
