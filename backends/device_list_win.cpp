#include "backends/device_list.h"
#include "backends/winmm/winmm_midi.h"

namespace tambrel::backends {

midiout::MidiOutDeviceList discoverMidiOutDevices() {
    try {
        return discoverWinMmMidiDevices(systemMidiCalls());
    } catch (...) {
        return {}; // out of memory while listing
    }
}

Outputs discoverOutputs(const std::optional<std::string>& clockDestination, bool leadTransport,
                        const std::optional<std::string>& clockSource, bool followTransport) {
    Outputs outputs;
    outputs.devices = discoverMidiOutDevices();
    if (clockDestination) {
        outputs.clockWhy = "MIDI clock out needs a JACK server, which this system has not";
    }
    if (leadTransport) {
        outputs.transportWhy = "JACK transport lead needs a JACK server, which this system has not";
    } else if (followTransport) {
        outputs.followWhy = "JACK transport follow needs a JACK server, which this system has not";
    }
    if (clockSource) {
        outputs.followWhy = "MIDI clock in needs a JACK server, which this system has not";
    }
    return outputs;
}

} // namespace tambrel::backends
