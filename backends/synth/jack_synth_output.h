#pragma once
// The synth heard through a running JACK server: it owns the sound card, so the synth plays
// there, at its rate, from the client of ours that the JACK MIDI devices share, whose
// periods give every message its exact frame on the server's frame clock.

#include "backends/synth/synth_output.h"

namespace tambrel::backends {

// Our client on the JACK server found at start-up, or on one started since. `name` unused.
std::unique_ptr<SynthOutput> openJackSynthOutput(const SynthOutputPlace& place, const char* name);

} // namespace tambrel::backends
