#pragma once
// The one MIDI output device the machine plays to: counted once at start, device 0
// opened, switched by the device selector (one click behind, like every selector),
// closed when the window closes. The note trigger sends on the handle this opens.

#include "engine/rhythm_engine.h"
#include "engine/selector.h"
#include "midiout/midi_out.h"

#include <functional>
#include <string>

namespace tambrel::midi {

inline constexpr const char* kNoDeviceName = "None";

class MidiDevice {
public:
    using SleepFn = std::function<void(int milliseconds)>;
    MidiDevice(engine::RhythmEngine& engine, midiout::MidiOut& out, SleepFn sleep = {});

    // At start: count the devices; with at least one, set the selector's range, open
    // device 0 and take its name.
    void startup();
    // The selector was clicked: halts the clock (Stop still comes next), closes, takes
    // the number and name of the selector's position before the click, waits 100 ms for
    // the old device to let go, opens.
    void switchToSelectedDevice();
    // The window's close: ends a running timer, then closes the output. Returns false
    // when closing failed (the window then reports it and closes all the same).
    [[nodiscard]] bool closeAtExit();

    // 0 to the device count - 1 (0 to 1 without devices), wrapping.
    engine::Selector& selector() noexcept { return selector_; }
    const engine::Selector& selector() const noexcept { return selector_; }
    unsigned deviceCount() const noexcept { return count_; }
    // The device open, or the one the last failed open tried: always the selector's
    // position before the latest click.
    int deviceNumber() const noexcept { return deviceNumber_; }
    bool isOpen() const noexcept { return open_; }
    // The selected device's name; kNoDeviceName until a device's name is known.
    const std::string& deviceName() const noexcept { return name_; }

private:
    void open();
    void takeName();

    engine::RhythmEngine& engine_;
    midiout::MidiOut& out_;
    SleepFn sleep_;
    engine::Selector selector_{0, 1, 0, true};
    unsigned count_ = 0;
    int deviceNumber_ = 0;
    bool open_ = false;
    std::string name_ = kNoDeviceName;
};

} // namespace tambrel::midi
