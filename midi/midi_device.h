#pragma once
// The one MIDI output device the machine plays to: counted once at start, device 0
// opened, switched by the device spinner (one click behind, like every spinner), closed
// when the window closes. The note trigger sends on the handle this opens.

#include "engine/rhythm_engine.h"
#include "engine/spinner.h"
#include "platform/midi_out.h"

#include <functional>
#include <string>

namespace tambrel::midi {

inline constexpr const char* kNoDeviceName = "None";

class MidiDevice {
public:
    using SleepFn = std::function<void(int milliseconds)>;
    MidiDevice(engine::RhythmEngine& engine, platform::MidiOut& out, SleepFn sleep = {});

    // The window's creation: count the devices; with at least one, set the spinner's
    // range, open device 0 and show its name.
    void startup();
    // The device spinner's handler: stops the clock (the buttons stay as they are),
    // closes, shows the number and name of the spinner's position before the click,
    // waits 100 ms for the old device to let go, opens.
    void UpDown1Changing();
    // The window's close: ends a running timer, then closes the output. Returns false
    // when closing failed (the window then reports it and closes all the same).
    bool closeAtExit();

    engine::Spinner& spinner() noexcept { return spinner_; }
    const engine::Spinner& spinner() const noexcept { return spinner_; }
    unsigned deviceCount() const noexcept { return count_; }
    int deviceNumber() const noexcept { return deviceNumber_; }
    bool isOpen() const noexcept { return open_; }
    std::string posLabel() const { return std::to_string(deviceNumber_); }
    const std::string& nameLabel() const noexcept { return name_; }

private:
    void open();
    void showName();

    engine::RhythmEngine& engine_;
    platform::MidiOut& out_;
    SleepFn sleep_;
    engine::Spinner spinner_{0, 1, 0, true};
    unsigned count_ = 0;
    int deviceNumber_ = 0;
    bool open_ = false;
    std::string name_ = kNoDeviceName;
};

} // namespace tambrel::midi
