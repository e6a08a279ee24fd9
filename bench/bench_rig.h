#pragma once
// An engine playing to one given device with every cell on: each tick builds a full step
// and sends eight notes, the heaviest work a tick can have.

#include "engine/rhythm_engine.h"

#include <memory>
#include <stdexcept>

namespace tambrel::bench {

struct FullPatternRig {
    explicit FullPatternRig(std::unique_ptr<midiout::MidiOutDevice> device)
        : out(single(std::move(device))), engine(timers, &out) {
        midiout::MidiOutHandle handle = 0;
        // Ticks to a device that is not open would measure nothing.
        if (out.open(0, &handle) != midiout::kMidiOk) {
            throw std::runtime_error("the benchmark's device did not open");
        }
        engine.trigger().setHandle(handle);
        for (int t = 1; t <= engine::kTracks; ++t) {
            for (int c = 1; c <= engine::kCells; ++c) {
                engine.grid().set(t, c, true);
            }
        }
    }

    static midiout::MidiOutDeviceList single(std::unique_ptr<midiout::MidiOutDevice> device) {
        midiout::MidiOutDeviceList list;
        list.push_back(std::move(device));
        return list;
    }

    midiout::MidiOut out;
    platform::TimerService timers;
    engine::RhythmEngine engine;
};

} // namespace tambrel::bench
