#pragma once
// The numbered list of MIDI output devices that the window, tambrel-pattern and the
// benchmarks open: every back end that works on this machine, in one order.

#include "midiout/midi_out.h"

namespace tambrel::backends {

// The device list of this machine, built from every back end that works here. On Linux:
// the built-in synth first (when a soundfont is found), then other programs' JACK
// inputs, ALSA sequencer ports, and our own virtual ports. On Windows: the system's
// multimedia MIDI outputs in its own order. Prints nothing.
midiout::MidiOutDeviceList discoverMidiOutDevices();

} // namespace tambrel::backends
