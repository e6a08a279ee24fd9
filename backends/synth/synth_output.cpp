#include "synth_output.h"

#include "backends/synth/fluid_driver_output.h"
#include "backends/synth/jack_synth_output.h"
#include "backends/synth/pipewire_synth_output.h"
#include "backends/synth/pulse_synth_output.h"

namespace tambrel::backends {

namespace {

// A running JACK server owns the sound card: it comes first. Then the desktop's sound
// server: PipeWire on its own API, PulseAudio (or PipeWire's PulseAudio service, where the
// native stream cannot open), then what FluidSynth's own ALSA driver reaches.
constexpr SynthOutputEntry kOutputs[] = {
    {"jack", &openJackSynthOutput},
    {"pipewire", &openPipeWireSynthOutput},
    {"pulseaudio", &openPulseSynthOutput},
    {"alsa", &openFluidDriverOutput},
};

} // namespace

std::span<const SynthOutputEntry> synthOutputs() noexcept {
    return kOutputs;
}

} // namespace tambrel::backends
