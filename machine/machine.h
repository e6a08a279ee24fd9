#pragma once
// The whole drum machine without its window: the rhythm engine, the eight tracks' kit,
// and the MIDI output device, over the platform's timers and device list. The window
// mirrors it; the tests, the command-line tool and the pattern files drive it directly.

#include "midi/midi_device.h"
#include "midi/track_settings.h"

#include "engine/rhythm_engine.h"
#include "midiout/midi_out.h"
#include "platform/periodic_timer.h"

namespace tambrel::machine {

class Machine {
public:
    explicit Machine(midiout::MidiOutDeviceList devices = {}, midi::MidiDevice::SleepFn sleep = {});
    ~Machine(); // the clock stops before any device closes

    engine::RhythmEngine& engine() noexcept { return engine_; }
    const engine::RhythmEngine& engine() const noexcept { return engine_; }
    midi::TrackSettings& tracks() noexcept { return tracks_; }
    const midi::TrackSettings& tracks() const noexcept { return tracks_; }
    midi::MidiDevice& device() noexcept { return device_; }
    const midi::MidiDevice& device() const noexcept { return device_; }
    midiout::MidiOut& midiOut() noexcept { return out_; }
    platform::TimerService& timers() noexcept { return timers_; }

private:
    platform::TimerService timers_;
    midiout::MidiOut out_;
    engine::RhythmEngine engine_;
    midi::TrackSettings tracks_;
    midi::MidiDevice device_;
};

} // namespace tambrel::machine
