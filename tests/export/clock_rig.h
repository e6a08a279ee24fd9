#pragma once
// What the step clock really sends: the machine's own tick, called by hand on an in-memory
// MIDI device, so an export can be checked against the clock itself and not against a
// second reading of the grid.

#include "export/loop.h"
#include "machine/machine.h"
#include "tests/support/memory_midi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tambrel::testing {

struct ClockRig {
    ClockRig() { machine.device().startup(); } // opens the recording device, as device 0

    // Puts a built-in rhythm (by its caption) or a pattern file on the machine, as the
    // exports load their source; a failure says which one and why.
    ::testing::AssertionResult load(exporting::LoopSource::Kind kind, const std::string& name) {
        if (const std::optional<std::string> why = exporting::loadSource(machine, {kind, name})) {
            return ::testing::AssertionFailure() << name << ": " << *why;
        }
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult loadPreset(const std::string& caption) {
        return load(exporting::LoopSource::Kind::Preset, caption);
    }

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
        const std::vector<tambrel::testing::RecordedMessage> sent = recorder.messages();
        std::vector<exporting::LoopNote> notes;
        for (int tick = 0; tick < ticks; ++tick) {
            for (std::size_t i = sentBefore[tick]; i < sentBefore[tick + 1]; ++i) {
                notes.push_back({tick, sent[i].message});
            }
        }
        return notes;
    }

    tambrel::testing::MidiRecorder recorder;
    machine::Machine machine{tambrel::testing::makeMemoryMidiDevices(1, recorder), [](int) {}};
};

} // namespace tambrel::testing
