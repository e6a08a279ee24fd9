#pragma once
// The synth heard through the desktop's sound server on its PulseAudio API (PulseAudio
// itself, or PipeWire's PulseAudio service), on a stream of our own (pulse_output.h) that
// rests while the synth has nothing to play.

#include "backends/synth/synth_output.h"

namespace tambrel::backends {

// The server this process would reach, never starting one. `name` unused.
std::unique_ptr<SynthOutput> openPulseSynthOutput(const SynthOutputPlace& place, const char* name);

} // namespace tambrel::backends
