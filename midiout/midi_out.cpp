#include "midiout/midi_out.h"

namespace tambrel::midiout {

MidiOut::MidiOut(MidiOutDeviceList devices)
    : devices_(std::move(devices)), open_(new std::atomic<bool>[devices_.size()]),
      sent_(new std::atomic<std::uint64_t>[devices_.size()]) {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        open_[i].store(false);
        sent_[i].store(0);
    }
}

MidiOut::~MidiOut() {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (open_[i].exchange(false)) {
            devices_[i]->close();
        }
    }
}

std::string MidiOut::deviceName(unsigned device) const {
    if (device >= devices_.size()) {
        return {};
    }
    std::string name = devices_[device]->name();
    if (name.size() > kMidiNameMax) {
        name.resize(kMidiNameMax);
    }
    return name;
}

int MidiOut::open(unsigned device, MidiOutHandle* handle) {
    if (device >= devices_.size()) {
        return kMidiBadDeviceId;
    }
    if (open_[device].load()) {
        return kMidiAllocated;
    }
    bool opened = false;
    try {
        opened = devices_[device]->open();
    } catch (...) {
        opened = false;
    }
    if (!opened) {
        return kMidiError;
    }
    *handle = device + 1;
    open_[device].store(true, std::memory_order_release);
    return kMidiOk;
}

bool MidiOut::isOpen(MidiOutHandle handle) const noexcept {
    return handle != 0 && handle <= devices_.size() &&
           open_[handle - 1].load(std::memory_order_acquire);
}

std::chrono::nanoseconds MidiOut::latency(MidiOutHandle handle) const noexcept {
    return isOpen(handle) ? devices_[handle - 1]->latency() : std::chrono::nanoseconds{};
}

int MidiOut::send(MidiOutHandle handle, const TimedMessage& message) noexcept {
    if (!isOpen(handle)) {
        return kMidiInvalidHandle;
    }
    // What a short message cannot carry never reaches a device.
    if (message.empty()) {
        return kMidiOk;
    }
    devices_[handle - 1]->send(message);
    sent_[handle - 1].fetch_add(1, std::memory_order_relaxed);
    return kMidiOk;
}

int MidiOut::prepare(MidiOutHandle handle) noexcept {
    if (!isOpen(handle)) {
        return kMidiInvalidHandle;
    }
    devices_[handle - 1]->prepare();
    return kMidiOk;
}

std::uint64_t MidiOut::sentCount(unsigned device) const noexcept {
    return device < devices_.size() ? sent_[device].load(std::memory_order_relaxed) : 0;
}

int MidiOut::close(MidiOutHandle handle) noexcept {
    if (handle == 0 || handle > devices_.size() || !open_[handle - 1].exchange(false)) {
        return kMidiInvalidHandle;
    }
    devices_[handle - 1]->close();
    return kMidiOk;
}

MidiOutDevice* MidiOut::device(unsigned index) const noexcept {
    return index < devices_.size() ? devices_[index].get() : nullptr;
}

} // namespace tambrel::midiout
