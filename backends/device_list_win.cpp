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

} // namespace tambrel::backends
