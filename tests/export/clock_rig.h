#pragma once
// What the step clock really sends: the machine's own tick, called by hand on an in-memory
// MIDI device, so an export can be checked against the clock itself and not against a
// second reading of the grid.

#include "export/loop.h"
#include "machine/machine.h"
#include "platform/memory_midi.h"

#include <vector>

namespace tambrel::testing {

struct ClockRig {
    ClockRig() { machine.device().startup(); } // opens the recording device, as device 0

    // Each message of `bars` bars, played from step 1, with the number of the tick (from 0)
    // that sent it.
    std::vector<exporting::LoopNote> play(int bars) {
        recorder.clear();
        std::vector<std::size_t> sentBefore;
        const int ticks = bars * machine.engine().stepsPerBar();
        for (int tick = 0; tick < ticks; ++tick) {
            sentBefore.push_back(recorder.size());
            machine.engine().StepTick();
        }
        sentBefore.push_back(recorder.size());
        const std::vector<platform::RecordedMessage> sent = recorder.messages();
        std::vector<exporting::LoopNote> notes;
        for (int tick = 0; tick < ticks; ++tick) {
            for (std::size_t i = sentBefore[tick]; i < sentBefore[tick + 1]; ++i) {
                notes.push_back({tick, sent[i].message});
            }
        }
        return notes;
    }

    platform::MidiRecorder recorder;
    machine::Machine machine{platform::makeMemoryMidiDevices(1, recorder), [](int) {}};
};

} // namespace tambrel::testing
