#include "platform/midi_out.h"

namespace tambrel::platform {

// The real back ends plug in here; until then a machine offers no device.
MidiOutDeviceList discoverMidiOutDevices() { return {}; }

} // namespace tambrel::platform
