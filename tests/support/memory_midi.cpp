#include "tests/support/memory_midi.h"

namespace tambrel::testing {

MidiRecorder::MidiRecorder(std::size_t capacity) : slots_(capacity) {}

void MidiRecorder::add(unsigned device, const midiout::TimedMessage& message) noexcept {
    const std::size_t i = count_.load(std::memory_order_relaxed);
    if (i >= slots_.size()) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    slots_[i] =
        RecordedMessage{device, message.packed(), std::chrono::steady_clock::now(), message.due};
    count_.store(i + 1, std::memory_order_release);
}

std::vector<RecordedMessage> MidiRecorder::messages() const {
    const std::size_t n = count_.load(std::memory_order_acquire);
    return {slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(n)};
}

std::size_t MidiRecorder::size() const noexcept {
    return count_.load(std::memory_order_acquire);
}

std::size_t MidiRecorder::dropped() const noexcept {
    return dropped_.load();
}

void MidiRecorder::clear() noexcept {
    count_.store(0);
    dropped_.store(0);
}

MemoryMidiDevice::MemoryMidiDevice(unsigned number, std::string name, MidiRecorder& recorder)
    : number_(number), name_(std::move(name)), recorder_(recorder) {}

bool MemoryMidiDevice::open() {
    if (failOpen_) {
        return false;
    }
    ++opens_;
    isOpen_.store(true);
    return true;
}

void MemoryMidiDevice::send(const midiout::TimedMessage& message) noexcept {
    recorder_.add(number_, message);
}

void MemoryMidiDevice::close() noexcept {
    ++closes_;
    isOpen_.store(false);
}

midiout::MidiOutDeviceList makeMemoryMidiDevices(unsigned count, MidiRecorder& recorder) {
    midiout::MidiOutDeviceList list;
    for (unsigned i = 0; i < count; ++i) {
        list.push_back(std::make_unique<MemoryMidiDevice>(i, "Memory MIDI " + std::to_string(i + 1),
                                                          recorder));
    }
    return list;
}

} // namespace tambrel::testing
