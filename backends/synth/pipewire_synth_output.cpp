#include "pipewire_synth_output.h"

#include "backends/synth/pipewire_output.h"
#include "backends/synth/stream_synth_output.h"

namespace tambrel::backends {

namespace {

// The quantum asked of the graph: 5.3 ms at 48 kHz, two of PulseAudio's requests. The
// graph takes the smallest any of its streams asks for; a desktop's default is 1024.
constexpr int kQuantumFrames = 2 * PlacedSynth::kPeriodFrames;

} // namespace

std::unique_ptr<SynthOutput> openPipeWireSynthOutput(const SynthOutputPlace& place, const char*) {
    if (!place.synth.start(place.soundfont, PlacedSynth::kStreamSampleRate)) {
        return nullptr;
    }
    auto output = std::make_unique<OwnStreamSynthOutput<PipeWireOutput>>(place.synth);
    const bool playing = output->play([](auto render, auto mayRest, void* user) {
        return PipeWireOutput::open(kSynthDeviceName,
                                    static_cast<std::uint32_t>(PlacedSynth::kStreamSampleRate),
                                    kQuantumFrames, render, user, mayRest);
    });
    if (!playing) {
        return nullptr;
    }
    return output;
}

} // namespace tambrel::backends
