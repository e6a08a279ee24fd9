#pragma once
// The synth heard through one of FluidSynth's own audio drivers (its PipeWire and ALSA
// drivers), which pull the audio from us in their own callbacks.

#include "backends/synth/synth_output.h"

namespace tambrel::backends {

// FluidSynth's driver called `name`, at the stream's period and number of periods.
std::unique_ptr<SynthOutput> openFluidDriverOutput(const SynthOutputPlace& place, const char* name);

} // namespace tambrel::backends
