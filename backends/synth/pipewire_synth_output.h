#pragma once
// The synth heard through a PipeWire server on its own API (pipewire_output.h): a node of
// the server's graph that renders a small quantum in each cycle, on the server's clock, and
// leaves the graph while the synth has nothing to play.

#include "backends/synth/synth_output.h"

namespace tambrel::backends {

// The server this process would reach, never starting one. `name` unused.
std::unique_ptr<SynthOutput> openPipeWireSynthOutput(const SynthOutputPlace& place,
                                                     const char* name);

} // namespace tambrel::backends
