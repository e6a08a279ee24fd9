#include "backends/winmm/winmm_midi.h"

#include <atomic>
#include <cstring>
#include <string>

namespace tambrel::backends {

namespace {

class WinMmMidiDevice : public midiout::MidiOutDevice {
public:
    WinMmMidiDevice(const WinMmMidiCalls& calls, UINT number) : calls_(calls), number_(number) {}

    // Asked each time, as the window shows it. The record's name is at most 31
    // characters and a NUL; a device that does not answer has no name.
    std::string name() const override {
        MIDIOUTCAPSA caps{};
        if (calls_.getDevCaps(number_, &caps, sizeof caps) != MMSYSERR_NOERROR) {
            return {};
        }
        return std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname - 1));
    }

    bool open() override {
        HMIDIOUT handle = nullptr;
        if (calls_.open(&handle, number_, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
            return false;
        }
        handle_.store(handle, std::memory_order_release);
        return true;
    }

    // The status is not read: the program has nothing to do about a message the device
    // did not take.
    void send(const midiout::TimedMessage& message) noexcept override {
        calls_.shortMsg(handle_.load(std::memory_order_acquire), message.packed());
    }

    void close() noexcept override { calls_.close(handle_.exchange(nullptr)); }

private:
    const WinMmMidiCalls& calls_;
    const UINT number_;
    std::atomic<HMIDIOUT> handle_{nullptr};
};

} // namespace

const WinMmMidiCalls& systemMidiCalls() noexcept {
    static const WinMmMidiCalls calls{&midiOutGetNumDevs, &midiOutGetDevCapsA, &midiOutOpen,
                                      &midiOutShortMsg, &midiOutClose};
    return calls;
}

midiout::MidiOutDeviceList discoverWinMmMidiDevices(const WinMmMidiCalls& calls) {
    midiout::MidiOutDeviceList devices;
    const UINT count = calls.getNumDevs();
    for (UINT i = 0; i < count; ++i) {
        devices.push_back(std::make_unique<WinMmMidiDevice>(calls, i));
    }
    return devices;
}

} // namespace tambrel::backends
