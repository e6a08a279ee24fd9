#include "synth_output.h"

#include "backends/synth/fluid_driver_output.h"
#include "backends/synth/jack_synth_output.h"
#include "backends/synth/pulse_synth_output.h"

namespace tambrel::backends {

namespace {

// A running JACK server owns the sound card: it comes first. Then the desktop's sound
// server (PipeWire desktops answer as PulseAudio too), then what FluidSynth's own drivers
// reach.
constexpr SynthOutputEntry kOutputs[] = {
    {"jack", &openJackSynthOutput},
    {"pulseaudio", &openPulseSynthOutput},
    {"pipewire", &openFluidDriverOutput},
    {"alsa", &openFluidDriverOutput},
};

} // namespace

std::span<const SynthOutputEntry> synthOutputs() noexcept {
    return kOutputs;
}

} // namespace tambrel::backends
