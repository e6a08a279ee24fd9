#include "machine.h"

namespace tambrel::machine {

Machine::Machine(midiout::MidiOutDeviceList devices, midi::MidiDevice::SleepFn sleep)
    : out_(std::move(devices)), engine_(timers_, &out_), tracks_(engine_.trigger()),
      device_(engine_, out_, std::move(sleep)) {}

Machine::~Machine() {
    engine_.haltClock();
}

} // namespace tambrel::machine
