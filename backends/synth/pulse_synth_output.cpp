#include "pulse_synth_output.h"

#include "backends/synth/pulse_output.h"
#include "backends/synth/stream_synth_output.h"

namespace tambrel::backends {

std::unique_ptr<SynthOutput> openPulseSynthOutput(const SynthOutputPlace& place, const char*) {
    if (!place.synth.start(place.soundfont, PlacedSynth::kStreamSampleRate)) {
        return nullptr;
    }
    auto output = std::make_unique<OwnStreamSynthOutput<PulseOutput>>(place.synth);
    const bool playing = output->play([](auto render, auto mayRest, void* user) {
        return PulseOutput::open(
            kSynthDeviceName, static_cast<std::uint32_t>(PlacedSynth::kStreamSampleRate),
            PlacedSynth::kPeriodFrames, PlacedSynth::kPeriodFrames * PlacedSynth::kPeriods, render,
            user, mayRest);
    });
    if (!playing) {
        return nullptr;
    }
    return output;
}

} // namespace tambrel::backends
