#pragma once
// The note trigger as the machine starts it: the track settings give it the start kit's
// keys and velocities, which the engine alone does not know.

#include "engine/note_trigger.h"
#include "engine/rhythm_engine.h"
#include "midi/start_kit.h"
#include "tests/support/memory_midi.h"

namespace tambrel::testing {

inline void giveStartKit(engine::NoteTrigger& trigger) {
    for (int t = 1; t <= engine::kTracks; ++t) {
        const midi::KitTrack& kit = midi::kStartKit[static_cast<std::size_t>(t - 1)];
        trigger.setKey(t, midi::drumKey(kit.instrument));
        trigger.setVelocity(t, kit.volume);
    }
}

// An engine playing to one in-memory device that records what it is sent, with the start
// kit's keys and velocities.
struct MemoryEngineRig {
    MemoryEngineRig() : out(makeMemoryMidiDevices(1, recorder)) {
        midiout::MidiOutHandle h = 0;
        if (out.open(0, &h) == midiout::kMidiOk) {
            engine.trigger().setHandle(h);
        }
        giveStartKit(engine.trigger());
    }

    MidiRecorder recorder;
    midiout::MidiOut out;
    platform::TimerService timers;
    engine::RhythmEngine engine{timers, &out};
};

} // namespace tambrel::testing
