#pragma once
// What one MIDI back end finds on this machine: other programs' ports, and the port of
// our own that other programs connect to. The device list puts all of the first kind
// before any of the second.

#include "midiout/midi_out.h"

#include <memory>

namespace tambrel::midiout {

struct BackendDevices {
    MidiOutDeviceList others;
    std::unique_ptr<MidiOutDevice> own; // nullptr when the back end does not work here
};

} // namespace tambrel::midiout
