#include "midi_device.h"

#include <chrono>
#include <cstdint>
#include <thread>

namespace tambrel::midi {

namespace {
// A device number is a 16-bit signed position, widened.
int asDeviceNumber(int position) {
    return static_cast<std::int16_t>(position);
}
} // namespace

MidiDevice::MidiDevice(engine::RhythmEngine& engine, midiout::MidiOut& out, SleepFn sleep)
    : engine_(engine), out_(out), sleep_(std::move(sleep)) {
    if (!sleep_) {
        sleep_ = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    }
    engine_.trigger().setOutput(&out_);
}

void MidiDevice::startup() {
    count_ = out_.deviceCount();
    if (count_ == 0) {
        return;
    }
    selector_.setMax(static_cast<std::int16_t>(count_ - 1));
    open();
    takeName();
}

void MidiDevice::open() {
    if (open_) {
        return;
    }
    midiout::MidiOutHandle handle = 0;
    if (deviceNumber_ >= 0 &&
        out_.open(static_cast<unsigned>(deviceNumber_), &handle) == midiout::kMidiOk) {
        engine_.trigger().setHandle(handle);
        open_ = true;
    }
}

void MidiDevice::takeName() {
    if (count_ == 0) {
        return;
    }
    const int device = asDeviceNumber(selector_.position());
    // A number the list does not have leaves the name as it was.
    if (device >= 0 && static_cast<unsigned>(device) < count_) {
        name_ = out_.deviceName(static_cast<unsigned>(device));
    }
}

void MidiDevice::switchToSelectedDevice() {
    engine_.haltClock();
    engine_.reconnectLost();
    if (open_) {
        out_.close(engine_.trigger().handle());
        open_ = false;
    }
    deviceNumber_ = asDeviceNumber(selector_.position());
    takeName();
    sleep_(100);
    open();
    engine_.resumeAfterSwitch();
}

bool MidiDevice::closeAtExit() {
    engine_.haltClock();
    try {
        // Made whether or not a device is open: a close of a handle that is not open
        // does nothing.
        out_.close(engine_.trigger().handle());
        open_ = false;
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace tambrel::midi
